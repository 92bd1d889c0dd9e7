"""execute_expr_inplace: the meaning of every op, run-time failures, argument handling,
band shapes, layouts and grid sizes."""

import struct

import numpy as np
import pytest

import vexlora
from conftest import EPS, assert_bits_equal, bits, layouts, panic_type, random_band
from expr_reference import evaluate, oob, parse

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def execute(text, bands, out, num_bands=None):
    expr = vexlora.compile_expr(parse(text), len(bands) if num_bands is None else num_bands)
    return vexlora.execute_expr_inplace(expr, bands, out)


def expect_panic(message, text, bands, out, num_bands=None):
    with pytest.raises(panic_type()) as info:
        execute(text, bands, out, num_bands)
    assert str(info.value) == message


def old_values(shape, rng):
    return rng.standard_normal(shape).astype(np.float32)


def shared_band(values):
    """A band in a byte buffer, plus a float32 probe over the same bytes: writing the probe
    needs a write borrow that any read borrow left behind on the band would refuse."""
    raw = np.zeros(values.nbytes + 8, np.uint8)
    band = raw[: values.nbytes].view(np.uint16).reshape(values.shape)
    band[...] = values
    return band, raw[:4].view(np.float32).reshape(1, 1)


def assert_nothing_held(bands, out, probe=None):
    """The arrays of a failed call can be used again at once."""
    execute("", list(bands), out)
    assert not out.any()
    if probe is not None:
        execute("1", [], probe)
        assert probe[0, 0] == 1.0


CASES = [
    ("", 0.0), ("1 2", 1.0), ("b0 1 2 add", 3.0), ("b0 b1 sub", -2.0), ("b1 b0 sub", 2.0), ("b0 b1 add", 8.0),
    ("b0 b1 mul", 15.0), ("10 4 sub", 6.0), ("10 4 div", 2.5), ("2 10 pow", 1024.0), ("2 3 pow", 8.0),
    ("1 0 div", 10000000000.0), ("0 0 div", 0.0), ("2 1 div", 2.0), ("1 -1e-10 div", np.inf), ("b2", 65535.0),
    ("b2 b2 mul", 4294836225.0), ("b2 neg", -65535.0), ("0 neg", -0.0), ("-0.0 abs", 0.0), ("-3 abs", 3.0),
    ("-0.0 sqrt", -0.0), ("9 sqrt", 3.0), ("-4 sqrt", np.nan), ("inf neg", -np.inf), ("1 2 add 10 mul", 30.0),
    ("3e38 10 mul", np.inf), ("1e-45 0.5 mul", 0.0), ("1e-45 1.5 mul", 2.8e-45), ("-2 0.5 pow", np.nan),
    ("0 -1 pow", np.inf), ("-0.0 -1 pow", -np.inf), ("nan 0 pow", 1.0), ("1 nan pow", 1.0), ("-8 3 pow", -512.0),
    ("2 -1 pow", 0.5), ("inf inf sub", np.nan), ("b0 b1 div", 0.6), ("0.1 0.2 add", 0.3), ("-0.0", -0.0),
    ("-0.0 3 mul", -0.0), ("-0.0 -0.0 add", -0.0), ("0 -0.0 sub", 0.0),
]


@pytest.mark.parametrize("text, expected", CASES)
def test_op_results(text, expected):
    # 5 x 9: enough elements for the grid to be cut into blocks with a remainder.
    bands = [np.full((5, 9), v, np.uint16) for v in (3, 5, 65535)]
    out = np.full((5, 9), 7.0, np.float32)
    assert execute(text, bands, out) is None
    want = np.float32(expected)
    assert np.isnan(out).all() if np.isnan(want) else (bits(out) == bits(want)).all(), (out, want)
    assert (bits(out) == bits(evaluate(parse(text), bands, 0, 0))).all()


def test_neg_and_abs_keep_nan_payload():
    nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8000020000000))[0]
    outs = {}
    for ops in ("", "neg", "abs", "neg neg", "neg abs"):
        out = np.zeros((1, 1), np.float32)
        vexlora.execute_expr_inplace(vexlora.compile_expr([{"type": "push_scalar", "value": nan}] + parse(ops), 0), [], out)
        outs[ops] = int(bits(out)[0, 0])
    x = outs[""]
    assert np.isnan(np.uint32(x).view(np.float32)) and outs["neg neg"] == x and outs["neg"] == x ^ 0x80000000
    assert outs["abs"] == outs["neg abs"] == x & 0x7FFFFFFF


def test_full_stack():
    out = np.zeros((2, 2), np.float32)
    execute(" ".join(str(k) for k in range(1, 65)) + " add" * 63, [], out)
    assert (out == 2080.0).all()
    band = np.arange(4, dtype=np.uint16).reshape(2, 2) + 60000
    execute("b0 " * 64 + "add " * 63, [band], out)
    assert_bits_equal(out, band.astype(np.float32) * np.float32(64))


PUSH64 = "1 " * 64
FAILURES = [(t, oob(64, -1)) for t in ("add", "sub", "mul", "div", "neg", "abs", "sqrt", "1 pow", "1 add", "b0 div",
                                       "1 sub", "1 mul", "1 2 add add", "b1 neg sqrt b0 pow pow", "add b5")] + [
    ("pow", oob(64, -2)), (PUSH64 + "1", oob(64, 64)), (PUSH64 + "b1", oob(64, 64)), ("1 2 add " * 70, oob(64, 64)),
    ("b2", oob(2, 2)), ("1 b7 add", oob(2, 7)), (PUSH64 + "b9", oob(2, 9)), ("b3 add", oob(2, 3)),
]


@pytest.mark.parametrize("text, message", FAILURES)
def test_element_independent_failures_leave_output_untouched(text, message, rng):
    values = random_band(rng, (5, 6))
    band, probe = shared_band(values)
    bands = [band, random_band(rng, (5, 6))]
    out = old_values((5, 6), rng)
    before = out.copy()
    expect_panic(message, text, bands, out)
    assert_bits_equal(out, before)
    assert (band == values).all()
    assert_nothing_held(bands, out, probe)


def test_without_bands():
    out = np.zeros((3, 2), np.float32)
    execute("7", [], out)
    assert (out == 7.0).all()
    expect_panic(oob(0, 0), "b0", [], out)


def test_larger_bands_read_only_their_leading_part(rng):
    a, b = random_band(rng, (6, 4)), random_band(rng, (3, 9))
    out = np.zeros((3, 4), np.float32)
    execute("b1 b0 sub", [a, b], out)
    assert_bits_equal(out, b[:3, :4].astype(np.float32) - a[:3, :4].astype(np.float32))
    execute("b0 2 mul", [a[:3, :4], np.zeros((1, 1), np.uint16)], out)  # a small band never pushed
    assert_bits_equal(out, a[:3, :4].astype(np.float32) * np.float32(2))


@pytest.mark.parametrize("shape, small_shape", [((4, 5), (2, 5)), ((4, 5), (4, 3)), ((4, 5), (2, 3)), ((4, 5), (0, 5)),
                                                ((4, 5), (4, 0)), ((513, 1031), (300, 1031)), ((513, 1031), (512, 1031)),
                                                ((513, 1031), (0, 1031)), ((513, 1031), (513, 700))])
def test_smaller_pushed_band_fails_per_element(shape, small_shape, rng):
    big, small = random_band(rng, shape), random_band(rng, small_shape)
    out = old_values(shape, rng)
    before = out.copy()
    expect_panic("ndarray: index out of bounds", "b0 b1 add", [big, small], out)
    r, c = small_shape
    inside = np.zeros(shape, bool)
    inside[:r, :c] = True
    assert_bits_equal(out[~inside], before[~inside])
    new = big[:r, :c].astype(np.float32) + small.astype(np.float32)
    assert ((bits(out[:r, :c]) == bits(before[:r, :c])) | (bits(out[:r, :c]) == bits(new))).all()
    execute("b0 b1 add", [big[:r, :c], small], out[:r, :c])
    assert_bits_equal(out[:r, :c], new)


@pytest.mark.parametrize("text, message", [("b0 add", "ndarray: index out of bounds"), ("add b0", oob(64, -1))])
def test_empty_band_and_stack_failure_order(text, message):
    out = np.zeros((2, 4), np.float32)
    expect_panic(message, text, [np.zeros((0, 4), np.uint16)], out)
    assert not out.any()


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
@pytest.mark.parametrize("text", ["add", "b5", "b0", "1"])
def test_empty_output_evaluates_nothing(shape, text):
    assert execute(text, [np.zeros((0, 0), np.uint16)], np.zeros(shape, np.float32)) is None


@pytest.mark.parametrize("count", [0, 1, 3])
def test_band_count_mismatch(count, rng):
    bands = [random_band(rng, (3, 4))] * count
    for writeable in (True, False):
        out = old_values((3, 4), rng)
        before = out.copy()
        out.flags.writeable = writeable
        with pytest.raises(ValueError, match=r"^Band count mismatch\.$"):
            execute("1", bands, out, num_bands=2)
        assert_bits_equal(out, before)


@pytest.mark.parametrize("case", ["read-only", "overlap"])
def test_refused_borrows(case, rng):
    band, probe = shared_band(random_band(rng, (1, 2)))
    before = band.copy()
    out = old_values((1, 2), rng) if case == "read-only" else probe
    kept = out.copy()
    out.flags.writeable = case == "overlap"
    expect_panic(UNWRAP + ("NotWriteable" if case == "read-only" else "AlreadyBorrowed"), "b0", [band], out)
    assert_bits_equal(out, kept)
    assert (band == before).all()
    assert_nothing_held([band], np.ones((1, 2), np.float32), probe)


class BrokenIter(list):
    def __init__(self, exc):
        super().__init__()
        self.exc = exc

    def __iter__(self):
        raise self.exc


ARRAY = "object cannot be converted to 'PyArray<T, D>'"
BAD_BANDS = [
    ("abc", "Can't extract `str` to `Vec`"), ({0: 1}, "'dict' object cannot be converted to 'Sequence'"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"), ([np.zeros((3, 4), np.float32)], f"'ndarray' {ARRAY}"),
    ([np.zeros((1, 3, 4), np.uint16)], f"'ndarray' {ARRAY}"), (np.zeros((3, 4), np.uint16), f"'ndarray' {ARRAY}"),
    ([np.zeros((3, 4), np.uint16), [[1]]], f"'list' {ARRAY}"), (BrokenIter(TypeError("stop")), "stop"),
]


@pytest.mark.parametrize("bands, message", BAD_BANDS)
def test_bad_bands_reported_before_output_and_count(bands, message):
    expr = vexlora.compile_expr([], 5)
    out = np.zeros((3, 4), np.float32)
    for bad_out in (out, np.zeros((3, 4), np.float64)):
        with pytest.raises(TypeError) as info:
            vexlora.execute_expr_inplace(expr, bands, bad_out)
        assert type(info.value) is TypeError and str(info.value) == f"argument 'bands': {message}"
    assert not out.any()


@pytest.mark.parametrize("out, name", [(np.zeros((3, 4)), "ndarray"), (np.zeros(4, np.float32), "ndarray"),
                                       (np.zeros((1, 3, 4), np.float32), "ndarray"), ([[0.0]], "list")])
def test_bad_output_before_band_count(out, name, rng):
    with pytest.raises(TypeError) as info:
        execute("b0", [random_band(rng, (3, 4))], out, num_bands=3)
    assert str(info.value) == f"argument 'out_buffer': '{name}' {ARRAY}"


def test_bad_expr_first_and_iteration_errors():
    with pytest.raises(TypeError) as info:
        vexlora.execute_expr_inplace({"type": "add"}, "abc", None)
    assert str(info.value) == "argument 'expr': 'dict' object cannot be converted to 'CompiledExpr'"
    with pytest.raises(ValueError, match="^nope$"):
        vexlora.execute_expr_inplace(vexlora.compile_expr([], 0), BrokenIter(ValueError("nope")), np.zeros((1, 1), np.float32))


@pytest.mark.parametrize("form", ["list", "tuple", "stack3d", "repeat"])
def test_band_sequence_forms(form, rng):
    a, b, c = (random_band(rng, (4, 5)) for _ in range(3))
    bands = {"list": [a, b, c], "tuple": (a, b, c), "stack3d": np.stack([a, b, c]), "repeat": [a, b, a]}[form]
    c = a if form == "repeat" else c
    out = np.zeros((4, 5), np.float32)
    execute("b0 b1 sub b2 mul", bands, out, num_bands=3)
    f = [x.astype(np.float32) for x in (a, b, c)]
    assert_bits_equal(out, (f[0] - f[1]) * f[2])


PROGRAM = "b0 b1 sub b0 b1 add div b1 sqrt mul 3 neg add abs b0 2 div sub"


def vectorised(a, b):
    a, b = a.astype(np.float32), b.astype(np.float32)
    t = np.abs((a - b) / ((a + b) + EPS) * np.sqrt(b) + np.float32(-3.0))
    return t - a / (np.float32(2.0) + EPS)


@pytest.mark.parametrize("out_kind", ["c", "fortran", "transposed", "reversed", "stepped"])
@pytest.mark.parametrize("band_kind", ["c", "fortran", "transposed", "reversed", "stepped"])
def test_layouts(band_kind, out_kind, rng):
    a, b = random_band(rng, (37, 53)), random_band(rng, (37, 53))
    whole = np.full((75, 161) if out_kind == "stepped" else (53, 37) if out_kind == "transposed" else (37, 53),
                    -5.0, np.float32, order="F" if out_kind == "fortran" else "C")
    out = {"stepped": whole[1::2, 2::3], "transposed": whole.T, "reversed": whole[::-1, ::-1]}.get(out_kind, whole)
    execute(PROGRAM, [layouts(a)[band_kind], layouts(b)["c" if band_kind == "c" else "stepped"]], out)
    assert_bits_equal(out, vectorised(a, b))
    if out_kind == "stepped":
        around = np.ones(whole.shape, bool)
        around[1::2, 2::3] = False
        assert (whole[around] == -5.0).all()


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("shape", [(1, 1), (1, 2), (2, 1), (1, 1000), (1000, 1), (3, 257), (257, 3), (513, 1031)])
def test_sizes(shape, order, rng):
    a, b = random_band(rng, shape), random_band(rng, shape)
    out = np.asarray(old_values(shape, rng), order=order)
    execute(PROGRAM, [a, b], out)
    assert_bits_equal(out, vectorised(a, b))


@pytest.mark.parametrize("length", [1, 31, 32, 33, 100])
@pytest.mark.parametrize("shape", [(3, 77), (64, 64)])
def test_long_runs_of_ops_on_one_value(length, shape, rng):
    """A value carried through many ops, taking operands from either side: a run longer than one
    evaluation step holds passes through the value stack and must not change a bit."""
    a, b = random_band(rng, shape), random_band(rng, shape)
    fa, fb = a.astype(np.float32), b.astype(np.float32)
    text, want = ["b0"], fa
    with np.errstate(all="ignore"):
        for i in range(length):
            kind = i % 5
            if kind == 0:
                text += ["b1", "add"]
                want = fb + want
            elif kind == 1:
                text += ["0.75", "mul"]
                want = want * np.float32(0.75)
            elif kind == 2:
                text += ["b1", "sub"]
                want = want - fb
            elif kind == 3:
                text += ["neg", "3", "add"]  # the running value below a constant on top
                want = np.float32(3.0) + -want
            else:
                text += ["abs"]
                want = np.abs(want)
    out = old_values(shape, rng)
    execute(" ".join(text), [a, b], out)
    assert_bits_equal(out, want)


@pytest.mark.parametrize("text, expected", [
    ("2 b0 sub", lambda a, b: np.float32(2.0) - a),
    ("2 b0 b1 add div", lambda a, b: np.float32(2.0) / ((a + b) + EPS)),
    ("b0 b1 mul b1 b0 sub sub", lambda a, b: a * b - (b - a)),
    ("b0 0.5 mul b1 0.25 mul add b0 b1 sub div", lambda a, b: (b * np.float32(0.25) + a * np.float32(0.5)) / ((a - b) + EPS)),
])
def test_values_combined_from_either_side(text, expected, rng):
    a, b = random_band(rng, (9, 70)), random_band(rng, (9, 70))
    out = old_values((9, 70), rng)
    execute(text, [a, b], out)
    with np.errstate(all="ignore"):
        assert_bits_equal(out, expected(a.astype(np.float32), b.astype(np.float32)))


@pytest.mark.parametrize("count", [3, 16, 17, 20])
def test_many_strided_bands(count, rng):
    """Strided bands are gathered once per block up to a limit and at each push beyond it; a band
    pushed several times and bands read only by dead ops must make no difference."""
    shape = (6, 45)
    bands = [random_band(rng, (12, 135))[::2, ::3] for _ in range(count)]
    f = [b.astype(np.float32) for b in bands]
    text, want = ["b0"], f[0]
    for k in range(1, count):
        text += [f"b{k}", "add" if k % 2 else "sub"]
        want = f[k] + want if k % 2 else want - f[k]
    text += ["b0", "mul", f"b{count - 1}", "b1", "div"]  # a dead value left above the result
    out = old_values(shape, rng)
    execute(" ".join(text), bands, out)
    assert_bits_equal(out, f[0] * want)


@pytest.mark.parametrize("text", ["b1", "b1 b0 b0 add", "b1 b0 neg"])
def test_result_is_a_strided_band(text, rng):
    bands = [random_band(rng, (8, 30))[::2, ::2] for _ in range(2)]
    out = old_values((4, 15), rng)
    execute(text, bands, out)
    assert_bits_equal(out, bands[1].astype(np.float32))


def bands_at_distance(values, distance, order):
    """Bands laid out `distance` bytes apart in one buffer (which stays mostly unmapped), each at the
    usual 16-byte offset into a page: the placement NumPy gives big arrays made one after another."""
    nbytes = values[0].nbytes
    raw = np.zeros((len(values) - 1) * distance + nbytes + 4096 + 16, np.uint8)
    start = (-raw.ctypes.data) % 4096 + 16
    bands = []
    for k, v in enumerate(values):
        at = start + k * distance
        band = np.ndarray(v.shape, np.uint16, raw[at: at + nbytes], order=order)
        band[...] = v
        bands.append(band)
    return bands


@pytest.mark.parametrize("distance", [(128 << 20) + 4096, (128 << 20) + 4096 + 512, (128 << 20) + 8192])
@pytest.mark.parametrize("order", ["C", "F"])
def test_bands_whose_cache_lines_collide(distance, order, rng):
    """Bands whose lines evict each other in the L1 cache may be read once per block into a slot
    rather than at every push; the bits must not change, whichever way a band is read. (Bands
    this large are checked for collisions; smaller ones are always read in place.)"""
    shape = (131, 509)
    values = [random_band(rng, shape) for _ in range(3)]
    bands = bands_at_distance(values, distance, order)
    out = np.asarray(old_values(shape, rng), order=order)
    execute(PROGRAM, bands[:2], out)
    assert_bits_equal(out, vectorised(values[0], values[1]))

    n, r, b = (v.astype(np.float32) for v in values)
    execute("b0 b1 sub b1 6 mul b0 add b2 7.5 mul sub 1 add div 2.5 mul b1 b2 add mul", bands, out)
    with np.errstate(all="ignore"):
        d = (r * np.float32(6) + n) - b * np.float32(7.5) + np.float32(1)
        want = (b + r) * ((n - r) / (d + EPS) * np.float32(2.5))
    assert_bits_equal(out, want)
