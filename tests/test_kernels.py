"""The spectral index kernels: exact float32 values, every memory layout of inputs and outputs,
shapes around the parallel split, odd strides, and the shape check."""

import hashlib
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vexlora
from conftest import (
    EPS,
    assert_bits_equal,
    bits,
    layouts,
    random_band,
    ref_adjusted_difference,
    ref_evi,
    ref_normalized_difference,
    ref_ratio,
)

EVI_SCALARS = (2.5, 6.0, 7.5, 1.0)


def one_pixel(fn, *args):
    out = np.full((1, 1), -99.0, np.float32)
    bands = [np.array([[v]], np.uint16) for v in args[0]]
    fn(*bands, *args[1:], out)
    return out[0, 0]


@pytest.mark.parametrize(
    "a, b, expected",
    [(0, 0, 0.0), (5, 0, 1.0), (0, 5, -1.0), (3, 1, 0.5), (1, 2, -0.3333333432674408), (65535, 65535, 0.0),
     (65535, 65534, 7.62956915423274e-06)],
)
def test_normalized_difference_values(a, b, expected):
    assert one_pixel(vexlora.calculate_normalized_difference_inplace, (a, b)) == np.float32(expected)
    assert vexlora.calculate_normalized_difference(np.array([[a]], np.uint16), np.array([[b]], np.uint16))[0, 0] == \
        np.float32(expected)


@pytest.mark.parametrize(
    "a, b, expected",
    [(0, 0, 0.0), (0, 7, 0.0), (1, 0, 10000000000.0), (65535, 0, 655350000779264.0), (3, 1, 3.0),
     (1, 3, 0.3333333432674408)],
)
def test_ratio_values(a, b, expected):
    assert one_pixel(vexlora.calculate_ratio_inplace, (a, b)) == np.float32(expected)


@pytest.mark.parametrize(
    "a, b, l, expected",
    [(3, 1, 0.5, 0.6666666865348816), (2, 3, 0.5, -0.27272728085517883), (10, 0, 0.5, 1.4285714626312256),
     (0, 0, 0.5, 0.0)],
)
def test_adjusted_difference_values(a, b, l, expected):
    assert one_pixel(vexlora.calculate_adjusted_difference_inplace, (a, b), l) == np.float32(expected)


def test_adjusted_difference_zero_denominator_is_nan():
    assert np.isnan(one_pixel(vexlora.calculate_adjusted_difference_inplace, (0, 0), -1e-10))


@pytest.mark.parametrize(
    "n, r, b, scalars, expected",
    [
        (3000, 1000, 500, EVI_SCALARS, 0.9521995782852173),
        (0, 0, 0, EVI_SCALARS, 0.0),
        (0, 0, 1, EVI_SCALARS, -0.0),
        (14, 0, 2, EVI_SCALARS, 349999988736.0),
        (1, 0, 0, (2.5, 6.0, 7.5, -1.0), 24999999488.0),
    ],
)
def test_evi_values(n, r, b, scalars, expected):
    result = one_pixel(vexlora.calculate_evi_inplace, (n, r, b), *scalars)
    assert bits(np.float32(result)) == bits(np.float32(expected))


def test_special_scalars_propagate():
    assert np.isnan(one_pixel(vexlora.calculate_evi_inplace, (3, 1, 1), np.nan, 1.0, 1.0, 1.0))
    assert one_pixel(vexlora.calculate_evi_inplace, (3, 1, 0), np.inf, 0.0, 0.0, 0.0) == np.inf
    assert bits(one_pixel(vexlora.calculate_evi_inplace, (3, 5, 0), 1.0, 0.0, 0.0, 1e300)) == bits(np.float32(-0.0))
    # a negative-zero gain keeps its sign through the vector broadcast
    assert bits(one_pixel(vexlora.calculate_evi_inplace, (3, 0, 0), -0.0, 0.0, 0.0, 0.0)) == bits(np.float32(-0.0))


KERNELS = {
    "normalized_difference": (vexlora.calculate_normalized_difference_inplace, 2, (), ref_normalized_difference),
    "ratio": (vexlora.calculate_ratio_inplace, 2, (), ref_ratio),
    "adjusted_difference": (vexlora.calculate_adjusted_difference_inplace, 2, (0.5,), ref_adjusted_difference),
    "evi": (vexlora.calculate_evi_inplace, 3, EVI_SCALARS, ref_evi),
}


def run_kernel(name, bands, out):
    fn, _, scalars, ref = KERNELS[name]
    fn(*bands, *scalars, out)
    return ref(*bands, *scalars)


@pytest.mark.parametrize("name", KERNELS)
@pytest.mark.parametrize(
    "layout", ["c", "fortran", "transposed", "reversed", "stepped", "mixed", "fortran_in_c_out", "c_in_fortran_out"]
)
@pytest.mark.parametrize("shape", [(1, 1), (3, 257), (257, 3), (129, 1031), (1024, 1536)])
def test_kernels_match_float32_reference_on_every_layout(rng, name, layout, shape):
    count = KERNELS[name][1]
    bands = [random_band(rng, shape) for _ in range(count)]
    if layout == "mixed":  # inputs in different orders from each other and from the output
        views = [layouts(band)[order] for band, order in zip(bands, ["fortran", "c", "reversed"])]
    else:
        in_layout = {"fortran_in_c_out": "fortran", "c_in_fortran_out": "c"}.get(layout, layout)
        views = [layouts(band)[in_layout] for band in bands]
    out_order = "F" if layout in ("fortran", "c_in_fortran_out") else "C"
    out = np.full(shape, np.nan, np.float32, order=out_order)
    expected = run_kernel(name, views, out)
    assert_bits_equal(out, expected)


@pytest.mark.parametrize("band_orders, out_order", [("F", "C"), ("C", "F"), ("FFC", "C"), ("CCF", "F")])
@pytest.mark.parametrize("shape", [(3, 257), (129, 1031), (1024, 1536)])
def test_inputs_leaning_against_the_output(rng, band_orders, out_order, shape):
    """Where the bands lean one way and the output the other, the walk follows the bands and turns
    the output through tiles; a band in the minority is then copied into run order tile by tile."""
    bands = [random_band(rng, shape) for _ in band_orders]
    bands = [np.asfortranarray(b) if order == "F" else b for b, order in zip(bands, band_orders)]
    out = np.full(shape, np.nan, np.float32, order=out_order)
    if len(bands) == 3:
        vexlora.calculate_evi_inplace(*bands, *EVI_SCALARS, out)
        assert_bits_equal(out, ref_evi(*bands, *EVI_SCALARS))
    ops = [{"type": "push_band", "index": 0}, {"type": "push_scalar", "value": 0.25}, {"type": "mul"}]
    for k in range(1, len(bands)):
        ops += [{"type": "push_band", "index": k}, {"type": "add"}]
    out[...] = np.nan
    vexlora.execute_expr_inplace(vexlora.compile_expr(ops, len(bands)), bands, out)
    expected = bands[0].astype(np.float32) * np.float32(0.25)
    for band in bands[1:]:
        expected = expected + band.astype(np.float32)
    assert_bits_equal(out, expected)


@pytest.mark.parametrize(
    "band_orders, out_order",
    [("FC", "C"), ("CF", "C"), ("CF", "F"), ("FCC", "C"), ("CRC", "C"), ("CCCFF", "C"), ("FFFCC", "C"), ("FFRCC", "C")],
)
@pytest.mark.parametrize("shape", [(37, 45), (300, 520), (1024, 1536)])
def test_bands_in_both_orders(rng, band_orders, out_order, shape):
    """Bands that disagree on their memory order: those read across it are copied into run order a
    block at a time, as far as there is room, and gathered beyond it (R: Fortran order with the
    rows reversed, which the copy takes element by element)."""
    bands = [random_band(rng, shape) for _ in band_orders]
    make = {"C": lambda b: b, "F": np.asfortranarray, "R": lambda b: np.asfortranarray(b[::-1])[::-1]}
    bands = [make[order](b) for b, order in zip(bands, band_orders)]
    out = np.full(shape, np.nan, np.float32, order=out_order)
    for name, (_, count, _, _) in KERNELS.items():
        if count == len(bands):
            out[...] = np.nan
            expected = run_kernel(name, bands, out)
            assert_bits_equal(out, expected)
    # a - b * 0.5 + c - d + e ...: each band's place in the program decides its sign and scale.
    ops = [{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1}, {"type": "push_scalar", "value": 0.5},
           {"type": "mul"}, {"type": "sub"}]
    for k in range(2, len(bands)):
        ops += [{"type": "push_band", "index": k}, {"type": "add" if k % 2 == 0 else "sub"}]
    out[...] = np.nan
    vexlora.execute_expr_inplace(vexlora.compile_expr(ops, len(bands)), bands, out)
    expected = bands[0].astype(np.float32) - bands[1].astype(np.float32) * np.float32(0.5)
    for k, band in enumerate(bands[2:], start=2):
        expected = expected + band.astype(np.float32) if k % 2 == 0 else expected - band.astype(np.float32)
    assert_bits_equal(out, expected)


def against_order(rng, shape, layout):
    """A band that a C-ordered walk reads across its memory order, in the layouts its copy treats apart."""
    rows, cols = shape
    band = random_band(rng, shape)
    if layout == "cols_reversed":  # runs adjacent in memory, positions along them at falling addresses
        return np.asfortranarray(band[:, ::-1])[:, ::-1]
    if layout == "unaligned":  # odd origin and odd distance between columns
        raw = np.zeros((2 * rows + 3) * cols + 1, np.uint8)
        view = np.ndarray(shape, np.uint16, raw.data, 1, (2, 2 * rows + 3))
        view[...] = band
        return view
    big = np.asfortranarray(np.zeros((2 * rows, cols), np.uint16))  # stepped: copied element by element
    big[::2] = band
    return big[::2]


def lined_output(shape, lead):
    """A C-ordered output whose rows start `lead` floats before a cache line."""
    rows, cols = shape
    width = -(-cols // 16) * 16 + 16
    raw = np.empty(rows * width + 32, np.float32)
    start = (-raw.ctypes.data // 4 - lead) % 16
    return raw[start:start + rows * width].reshape(rows, width)[:, :cols]


@pytest.mark.parametrize("layout", ["cols_reversed", "unaligned", "stepped"])
@pytest.mark.parametrize("shape, lead", [((37, 45), 0), ((70, 1100), 5), ((70, 1100), 0)])
def test_more_bands_across_their_order_than_are_staged(rng, layout, shape, lead):
    """Kernels and programs over C-ordered bands mixed with bands in the layouts above, with more of
    them than the staging area holds, into outputs whose rows begin anywhere in a cache line."""
    out = lined_output(shape, lead)
    for name, (_, count, _, _) in KERNELS.items():
        bands = [against_order(rng, shape, layout)] + [random_band(rng, shape) for _ in range(count - 1)]
        out[...] = np.nan
        assert_bits_equal(out, run_kernel(name, bands, out))
    # Ten bands across the walk's order and eleven along it: some are staged, some gathered.
    bands = [against_order(rng, shape, layout) if k % 2 else random_band(rng, shape) for k in range(21)]
    ops = [{"type": "push_band", "index": 0}]
    expected = bands[0].astype(np.float32)
    for k, band in enumerate(bands[1:], start=1):
        ops += [{"type": "push_band", "index": k}, {"type": ("add", "sub", "mul")[k % 3]}]
        value = band.astype(np.float32)
        expected = (expected + value, expected - value, expected * value)[k % 3]
    ops += [{"type": "push_band", "index": 1}, {"type": "div"}]
    with np.errstate(all="ignore"):
        expected = expected / (bands[1].astype(np.float32) + EPS)
    out[...] = np.nan
    vexlora.execute_expr_inplace(vexlora.compile_expr(ops, len(bands)), bands, out)
    assert_bits_equal(out, expected)


@pytest.mark.parametrize("name", KERNELS)
@pytest.mark.parametrize("out_layout", ["fortran", "transposed", "stepped", "reversed", "column_slice"])
def test_non_contiguous_outputs_leave_surroundings_untouched(rng, name, out_layout):
    shape = (203, 301)
    bands = [random_band(rng, shape) for _ in range(KERNELS[name][1])]
    canvas = np.full((2 * shape[0] + 3, 2 * shape[1] + 3), 123.0, np.float32)
    if out_layout == "fortran":
        canvas = np.asfortranarray(canvas)
        out = canvas[1 : 1 + shape[0], 2 : 2 + shape[1]]
    elif out_layout == "transposed":
        canvas = np.full((2 * shape[1] + 3, 2 * shape[0] + 3), 123.0, np.float32)
        out = canvas[2 : 2 + shape[1], 1 : 1 + shape[0]].T
    elif out_layout == "stepped":
        out = canvas[1 : 1 + 2 * shape[0] : 2, 2 : 2 + 2 * shape[1] : 2]
    elif out_layout == "reversed":
        out = canvas[shape[0] : 0 : -1, shape[1] + 5 : 5 : -1]
    else:
        out = canvas[3 : 3 + shape[0], 7 : 7 + shape[1]]
    assert out.shape == shape
    before = canvas.copy()
    expected = run_kernel(name, bands, out)
    assert_bits_equal(out, expected)
    out[...] = 123.0
    assert_bits_equal(canvas, before)


def test_broadcast_inputs(rng):
    row = random_band(rng, (1, 777))
    col = random_band(rng, (555, 1))
    a = np.broadcast_to(row, (555, 777))
    b = np.broadcast_to(col, (555, 777))
    out = np.empty((555, 777), np.float32)
    vexlora.calculate_normalized_difference_inplace(a, b, out)
    assert_bits_equal(out, ref_normalized_difference(a, b))


def test_unaligned_and_odd_stride_arrays(rng):
    """Fields of packed records: uint16 at odd addresses, float32 with a 7-byte stride."""
    shape = (37, 91)
    records = np.zeros(shape, np.dtype([("pad", "u1"), ("a", "<u2"), ("b", "<u2")]))
    records["a"] = random_band(rng, shape)
    records["b"] = random_band(rng, shape)
    outs = np.zeros(shape, np.dtype([("pad", "u1"), ("pad2", "u2"), ("v", "<f4")]))
    vexlora.calculate_normalized_difference_inplace(records["a"], records["b"], outs["v"])
    assert records["a"].strides[1] == 5 and outs["v"].strides[1] == 7
    assert_bits_equal(outs["v"], ref_normalized_difference(records["a"], records["b"]))
    assert (outs["pad"] == 0).all() and (outs["pad2"] == 0).all()


@pytest.mark.parametrize("shape", [(0, 7), (7, 0), (0, 0)])
def test_empty_arrays(shape):
    band = np.zeros(shape, np.uint16)
    out = np.zeros(shape, np.float32)
    for name in KERNELS:
        run_kernel(name, [band] * KERNELS[name][1], out)
    result = vexlora.calculate_normalized_difference(band, band)
    assert result.shape == shape and result.dtype == np.float32


def test_allocating_normalized_difference_returns_c_order(rng):
    a = np.asfortranarray(random_band(rng, (33, 65)))
    b = random_band(rng, (33, 65))[::-1]
    result = vexlora.calculate_normalized_difference(a, b)
    assert result.flags.c_contiguous and result.flags.owndata and result.flags.writeable
    assert_bits_equal(result, ref_normalized_difference(a, b))
    with pytest.raises(ValueError, match=r"^Shape mismatch at index 1: expected \[33, 65\], got \[33, 64\]$"):
        vexlora.calculate_normalized_difference(a, b[:, :64])


def test_adjusted_difference_with_zero_l_is_the_normalized_difference(rng):
    a, b = random_band(rng, (40, 50)), random_band(rng, (40, 50))
    adjusted, plain = np.empty((40, 50), np.float32), np.empty((40, 50), np.float32)
    vexlora.calculate_adjusted_difference_inplace(a, b, 0.0, adjusted)
    vexlora.calculate_normalized_difference_inplace(a, b, plain)
    assert_bits_equal(adjusted, plain)


@pytest.mark.parametrize(
    "fn, shapes, index, expected, got",
    [
        (vexlora.calculate_ratio_inplace, [(2, 4), (2, 3), (2, 4)], 1, "[2, 4]", "[2, 3]"),
        (vexlora.calculate_ratio_inplace, [(2, 4), (2, 4), (4, 2)], 2, "[2, 4]", "[4, 2]"),
        (vexlora.calculate_evi_inplace, [(100, 200)] * 3 + [(100, 199)], 3, "[100, 200]", "[100, 199]"),
        (vexlora.calculate_evi_inplace, [(100, 200)] * 2 + [(100, 199)] * 2, 2, "[100, 200]", "[100, 199]"),
    ],
)
def test_shape_mismatch_messages(fn, shapes, index, expected, got):
    arrays = [np.zeros(s, np.uint16) for s in shapes[:-1]] + [np.full(shapes[-1], 5.0, np.float32)]
    scalars = EVI_SCALARS if fn is vexlora.calculate_evi_inplace else ()
    with pytest.raises(ValueError) as info:
        fn(*arrays[:-1], *scalars, arrays[-1])
    assert str(info.value) == f"Shape mismatch at index {index}: expected {expected}, got {got}"
    assert (arrays[-1] == 5.0).all()


ISA_SCRIPT = """
import hashlib, numpy as np, vexlora
rng = np.random.default_rng(7)
digest = hashlib.sha256()
for shape in [(1, 1), (5, 33), (300, 517)]:
    bands = [rng.integers(0, 65536, shape, dtype=np.uint16) for _ in range(3)]
    for view in (lambda x: x, np.asfortranarray, lambda x: x[::-1, ::-1]):
        v = [view(b) for b in bands]
        for order in "CF":
            out = np.empty(shape, np.float32, order=order)
            vexlora.calculate_normalized_difference_inplace(v[0], v[1], out); digest.update(out.tobytes())
            vexlora.calculate_ratio_inplace(v[0], v[1], out); digest.update(out.tobytes())
            vexlora.calculate_adjusted_difference_inplace(v[0], v[1], 0.3, out); digest.update(out.tobytes())
            vexlora.calculate_evi_inplace(v[0], v[1], v[2], 2.5, 6.0, 7.5, 1.0, out); digest.update(out.tobytes())
            ops = ["add", "sub", "mul", "div", "pow", "neg", "abs", "sqrt"]
            prog = [{"type": "push_band", "index": 0}, {"type": "push_scalar", "value": 0.5}]
            for op in ops:
                if op in ("neg", "abs", "sqrt"):
                    prog += [{"type": op}]
                else:
                    prog += [{"type": "push_band", "index": 2}, {"type": op}]
            vexlora.execute_expr_inplace(vexlora.compile_expr(prog, 3), v, out); digest.update(out.tobytes())
# Programs of every shape, on rows of every length around the vector and group widths.
bands = [rng.integers(0, 65536, (4, 211), dtype=np.uint16) for _ in range(3)]
for n in range(60):
    prog, depth = [], 0
    for _ in range(int(rng.integers(1, 80))):
        r = rng.random()
        if depth >= 2 and r < 0.4:
            prog.append({"type": ["add", "sub", "mul", "div", "pow"][rng.integers(5)]}); depth -= 1
        elif depth >= 1 and r < 0.55:
            prog.append({"type": ["neg", "abs", "sqrt"][rng.integers(3)]})
        elif r < 0.8:
            prog.append({"type": "push_band", "index": int(rng.integers(3))}); depth += 1
        else:
            prog.append({"type": "push_scalar", "value": float(rng.standard_normal() * 100)}); depth += 1
        if depth >= 60:
            break
    width = 1 + n * 3
    out = np.empty((4, width), np.float32)
    vexlora.execute_expr_inplace(vexlora.compile_expr(prog, 3), [b[:, :width] for b in bands], out)
    digest.update(out.tobytes())
print(digest.hexdigest())
"""


def test_every_instruction_set_gives_identical_bits():
    """Forcing each lower instruction set must not change a single bit."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(vexlora.__file__))
    digests = {}
    for isa in ["avx512", "avx2", "baseline"]:
        env["VEXLORA_ISA"] = isa
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(ISA_SCRIPT)], env=env, capture_output=True,
                                text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        digests[isa] = result.stdout.strip()
    assert len(set(digests.values())) == 1, digests


@pytest.mark.parametrize("inputs_order", ["C", "F"])
def test_outputs_larger_than_the_last_level_cache(rng, inputs_order):
    """Large outputs are written around the caches (also through transposing tiles): same bits."""
    shape = (4608, 4608)  # an 81 MB float32 output
    bands = [random_band(rng, shape) for _ in range(3)]
    if inputs_order == "F":
        bands = [np.asfortranarray(b) for b in bands]
    out = np.empty(shape, np.float32)
    for name, (fn, count, scalars, ref) in KERNELS.items():
        fn(*bands[:count], *scalars, out)
        assert_bits_equal(out, ref(*bands[:count], *scalars))
    program = vexlora.compile_expr(
        [{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1}, {"type": "div"}], 2)
    vexlora.execute_expr_inplace(program, bands[:2], out)
    assert_bits_equal(out, ref_ratio(bands[0], bands[1]))
    # The chain writing the output also evaluates the one whose value it divides, and converts
    # each band once for both.
    b0, b1 = {"type": "push_band", "index": 0}, {"type": "push_band", "index": 1}
    program = vexlora.compile_expr([b0, b1, {"type": "sub"}, b0, b1, {"type": "add"}, {"type": "div"}], 2)
    vexlora.execute_expr_inplace(program, bands[:2], out)
    assert_bits_equal(out, ref_normalized_difference(bands[0], bands[1]))


STREAMED_EDGES_SCRIPT = """
import hashlib, sys, numpy as np, vexlora
cols = int(sys.argv[1])
rows = 81_000_000 // (4 * cols)
rng = np.random.default_rng(cols)
a, b = (np.asfortranarray(rng.integers(0, 65536, (rows, cols), dtype=np.uint16)) for _ in range(2))
storage = np.empty(rows * cols + 16, np.float32)
start = ((4 - storage.ctypes.data) % 64) // 4
out = storage[start : start + rows * cols].reshape(rows, cols)
vexlora.calculate_normalized_difference_inplace(a, b, out)
print(hashlib.sha256(out.tobytes()).hexdigest())
ops = [{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1}, {"type": "div"}]
vexlora.execute_expr_inplace(vexlora.compile_expr(ops, 2), [a, b], out)
print(hashlib.sha256(out.tobytes()).hexdigest())
"""


@pytest.mark.parametrize("isa", ["avx512", "avx2", "baseline"])
@pytest.mark.parametrize("cols", [68, 72, 80])
def test_streamed_transposed_rows_with_narrow_edge_tiles(isa, cols):
    """An output beyond the last-level cache whose rows start 4 bytes past a line and are a whole
    number of vectors apart: rows are written around the caches, and tiles at the right edge or
    between pieces are too narrow to hold an aligned block, so theirs are stored in place. Run in a
    subprocess, so that a fault fails the test rather than the session."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(vexlora.__file__), VEXLORA_ISA=isa)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(STREAMED_EDGES_SCRIPT), str(cols)], env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    rng = np.random.default_rng(cols)
    rows = 81_000_000 // (4 * cols)
    a, b = (rng.integers(0, 65536, (rows, cols), dtype=np.uint16) for _ in range(2))
    expected = [hashlib.sha256(ref.tobytes()).hexdigest() for ref in (ref_normalized_difference(a, b), ref_ratio(a, b))]
    assert result.stdout.split() == expected


GUARDED_SCRIPT = """
import ctypes, mmap, sys, numpy as np, vexlora
rows, cols = int(sys.argv[1]), int(sys.argv[2])
page = mmap.PAGESIZE
region = mmap.mmap(-1, 4 * page)
base = ctypes.addressof(ctypes.c_char.from_buffer(region))
mprotect = ctypes.CDLL(None, use_errno=True).mprotect
mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
for guard in (1, 3):
    assert mprotect(base + guard * page, page, 0) == 0
rng = np.random.default_rng(rows * 1000 + cols)
np.frombuffer(region, np.uint16, page // 2)[:] = rng.integers(0, 65536, page // 2, dtype=np.uint16)

def ending_at(page_index, dtype, strides):
    # A view whose last element is the last one before an inaccessible page.
    last = (rows - 1) * strides[0] + (cols - 1) * strides[1]
    offset = (page_index + 1) * page - np.dtype(dtype).itemsize - last
    return np.ndarray((rows, cols), dtype, region, offset, strides)

along_rows = ending_at(0, np.uint16, (4 * cols, 4))  # every other element of its rows
down_cols = ending_at(0, np.uint16, (4, 4 * rows))  # every other element of its columns
out_every_other = ending_at(2, np.float32, (8 * cols, 8))
c_band, f_band = rng.integers(0, 65536, (2, rows, cols), dtype=np.uint16)
f_band = np.asfortranarray(f_band)
sub = vexlora.compile_expr([{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1},
                            {"type": "sub"}], 2)
results = {}
def keep(name, call, out):
    call(out)
    results[name] = np.array(out)
keep("nd_rows", lambda o: vexlora.calculate_normalized_difference_inplace(along_rows, c_band, o), np.empty((rows, cols), np.float32))
keep("nd_out", lambda o: vexlora.calculate_normalized_difference_inplace(c_band, c_band[::-1], o), out_every_other)
keep("evi_cols", lambda o: vexlora.calculate_evi_inplace(f_band, f_band[::-1], down_cols, 2.5, 6.0, 7.5, 1.0, o), np.empty((rows, cols), np.float32))
keep("sub_rows", lambda o: vexlora.execute_expr_inplace(sub, [along_rows, c_band], o), out_every_other)
keep("sub_cols", lambda o: vexlora.execute_expr_inplace(sub, [f_band, down_cols], o), np.empty((rows, cols), np.float32))
np.savez(sys.argv[3], along_rows=along_rows, down_cols=down_cols, c_band=c_band, f_band=f_band, **results)
"""


@pytest.mark.parametrize("shape", [(15, 33), (8, 64), (31, 16), (16, 31), (1, 500)])
def test_every_other_element_up_to_an_inaccessible_page(tmp_path, shape):
    """Bands and outputs that step over every other element, whose last element ends right before an
    unmapped page: vector reads must not take the bytes after it, and vector writes must leave the
    elements between untouched and not reach past the end. In a subprocess, so a fault fails the test."""
    saved = tmp_path / "results.npz"
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(GUARDED_SCRIPT), *map(str, shape), str(saved)],
                            env=dict(os.environ, PYTHONPATH=os.path.dirname(vexlora.__file__)),
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    r = np.load(saved)
    rows_band, cols_band, c_band, f_band = r["along_rows"], r["down_cols"], r["c_band"], r["f_band"]
    assert_bits_equal(r["nd_rows"], ref_normalized_difference(rows_band, c_band))
    assert_bits_equal(r["nd_out"], ref_normalized_difference(c_band, c_band[::-1]))
    assert_bits_equal(r["evi_cols"], ref_evi(f_band, f_band[::-1], cols_band, *EVI_SCALARS))
    assert_bits_equal(r["sub_rows"], rows_band.astype(np.float32) - c_band.astype(np.float32))
    assert_bits_equal(r["sub_cols"], f_band.astype(np.float32) - cols_band.astype(np.float32))


@pytest.mark.parametrize("shape", [(203, 301), (17, 1000), (1000, 17), (300, 2100), (5, 300)])
@pytest.mark.parametrize("offset", [0, 1, 7])
@pytest.mark.parametrize("band_offset", [0, 5])
def test_transposed_writes_into_an_offset_row_slice(rng, shape, offset, band_offset):
    """Fortran-ordered bands into rows of a C-ordered output that start off a vector boundary:
    the tile transposition's leading, trailing and last-run elements, and nothing outside. Bands
    that start a few elements into their columns move where the aligned blocks down the runs begin."""
    rows, cols = shape
    a, b = (np.asfortranarray(random_band(rng, (rows + band_offset, cols)))[band_offset:] for _ in range(2))
    # Rows a whole number of cache lines apart, from a line boundary: the output's rows then share
    # one alignment, so whole blocks start `offset` columns in, after a partial one.
    canvas_cols = (shape[1] + 16 + 15) // 16 * 16
    storage = np.empty((shape[0] + 2) * canvas_cols + 16, np.float32)
    start = (-storage.ctypes.data % 64) // 4
    canvas = storage[start : start + (shape[0] + 2) * canvas_cols].reshape(shape[0] + 2, canvas_cols)
    canvas[...] = 123.0
    out = canvas[1 : 1 + shape[0], offset : offset + shape[1]]
    before = canvas.copy()
    vexlora.calculate_normalized_difference_inplace(a, b, out)
    assert_bits_equal(out, ref_normalized_difference(a, b))
    program = vexlora.compile_expr([{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1},
                                    {"type": "sub"}, {"type": "abs"}], 2)
    vexlora.execute_expr_inplace(program, [a, b], out)
    assert_bits_equal(out, np.abs(a.astype(np.float32) - b.astype(np.float32)))
    out[...] = 123.0
    assert_bits_equal(canvas, before)
