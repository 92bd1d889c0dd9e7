"""Property-based checks: the four spectral kernels against NumPy float32 references in the same
order of operations, for any shape (empty and single-element ones included), any uint16 values, any
float scalars (NaN, infinities, signed zeros, subnormals, values beyond float32) and several memory
layouts; the band-math evaluator against the element-by-element reference on generated programs,
with bands smaller or larger than the output, in several layouts, and stacks up to and past 64."""

import math
import struct

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import vexlora
from conftest import (bits, layouts, panic_type, ref_adjusted_difference, ref_evi, ref_normalized_difference,
                      ref_ratio)
from expr_reference import check_against, evaluate_grid

SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
BAND_LAYOUTS = ["c", "fortran", "transposed", "reversed", "stepped"]
OUT_LAYOUTS = ["c", "fortran", "reversed", "stepped"]
BINARY, UNARY = ["add", "sub", "mul", "div", "pow"], ["neg", "abs", "sqrt"]

with np.errstate(invalid="ignore"):
    DEFAULT_NAN = int(bits(np.float32(np.inf) - np.float32(np.inf))[0])  # what an invalid operation yields here

SPECIAL = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324, 1e-45, 1.4e-45, -7e-46,
           1.1754942e-38, 3.4028235e38, 3.4028236e38, 1e39, -1e300, 1.0, -1.0, 0.5, 65535.0, 1e-10, -1e-10]
scalars = st.one_of(st.sampled_from(SPECIAL), st.floats(), st.floats(width=32), st.integers(-2**80, 2**80),
                    st.binary(min_size=8, max_size=8).map(lambda b: struct.unpack("<d", b)[0]))  # any NaN payload
sizes = st.one_of(st.sampled_from([0, 1, 2]), st.integers(0, 70))


def f32_bits(x):
    with np.errstate(over="ignore"):
        return int(bits(np.float32(float(x)))[0])


def place(values, kind):
    """A float32 array in the given layout holding `values`."""
    if kind == "c":
        return values.copy()
    if kind == "fortran":
        return np.asfortranarray(values)
    if kind == "reversed":
        return np.ascontiguousarray(values[::-1, ::-1])[::-1, ::-1]
    rows, cols = values.shape
    big = np.full((2 * rows + 1, 3 * cols + 2), 99.0, np.float32)
    big[1::2, 2::3] = values
    return big[1::2, 2::3]


def assert_kernel_bits(actual, expected, scalar_values):
    """Bit for bit. Only where two NaNs of different payloads can meet in one operation does the
    payload depend on the machine's operand order; there a NaN must still be a NaN."""
    got, want = bits(actual), bits(expected)
    nan_patterns = {DEFAULT_NAN} | {f32_bits(s) for s in scalar_values if math.isnan(float(s))}
    if len(nan_patterns) > 1:
        np.testing.assert_array_equal(np.isnan(actual), np.isnan(expected))
        keep = ~np.isnan(np.asarray(expected, np.float32))
        got, want = got[keep], want[keep]
    np.testing.assert_array_equal(got, want)


@settings(max_examples=1000, **SETTINGS)
@given(data=st.data(), rows=sizes, cols=sizes, out_kind=st.sampled_from(OUT_LAYOUTS), l=scalars,
       band_kinds=st.lists(st.sampled_from(BAND_LAYOUTS), min_size=3, max_size=3),
       evi_scalars=st.tuples(scalars, scalars, scalars),
       seed=st.one_of(st.none(), st.integers(0, 2**32 - 1)))
def test_kernels_match_float32_reference(data, rows, cols, band_kinds, out_kind, l, evi_scalars, seed):
    if seed is None:  # hypothesis' own arrays: few distinct values, zeros and extremes
        bands = [data.draw(arrays(np.uint16, (rows, cols)), label=f"band {k}") for k in range(3)]
    else:  # dense random values
        bands = list(np.random.default_rng(seed).integers(0, 65536, (3, rows, cols), dtype=np.uint16))
    views = [layouts(band)[kind] for band, kind in zip(bands, band_kinds)]
    g, c1, c2 = evi_scalars
    with np.errstate(over="ignore"):  # scalars beyond float32 become infinities, as in the module
        cases = [
            (vexlora.calculate_normalized_difference_inplace, views[:2], (), ref_normalized_difference(*bands[:2])),
            (vexlora.calculate_ratio_inplace, views[:2], (), ref_ratio(*bands[:2])),
            (vexlora.calculate_adjusted_difference_inplace, views[:2], (l,),
             ref_adjusted_difference(*bands[:2], float(l))),
            (vexlora.calculate_evi_inplace, views, (g, c1, c2, l),
             ref_evi(*bands, float(g), float(c1), float(c2), float(l))),
        ]
    for fn, args, scalar_args, expected in cases:
        out = place(np.full((rows, cols), np.nan, np.float32), out_kind)
        fn(*args, *scalar_args, out)
        assert_kernel_bits(out, expected, scalar_args)
    allocated = vexlora.calculate_normalized_difference(*views[:2])
    assert allocated.flags.c_contiguous and allocated.shape == (rows, cols)
    assert_kernel_bits(allocated, cases[0][3], ())


# --- band-math programs --------------------------------------------------------------------------


def expressions(nbands):
    leaves = st.builds(lambda v: [{"type": "push_scalar", "value": v}], scalars)
    if nbands:
        leaves = st.one_of(leaves, st.integers(0, nbands - 1).map(lambda k: [{"type": "push_band", "index": k}]))
    return st.recursive(leaves, lambda sub: st.one_of(
        st.builds(lambda e, op: e + [{"type": op}], sub, st.sampled_from(UNARY)),
        st.builds(lambda a, b, op: a + b + [{"type": op}], sub, sub, st.sampled_from(BINARY))), max_leaves=10)


noise = st.lists(st.one_of(st.sampled_from(BINARY + UNARY).map(lambda op: {"type": op}),
                           st.integers(0, 4).map(lambda k: {"type": "push_band", "index": k})), max_size=2)


def deep(nbands):
    """Up to 66 pushes then some binary ops: stacks at, just below and just past 64 entries."""
    push = st.just({"type": "push_scalar", "value": -2.5})
    if nbands:
        push = st.one_of(push, st.integers(0, nbands - 1).map(lambda k: {"type": "push_band", "index": k}))
    return st.integers(1, 66).flatmap(lambda n: st.tuples(st.lists(push, min_size=n, max_size=n),
                                                          st.lists(st.sampled_from(BINARY), max_size=n - 1)))


@st.composite
def programs(draw, nbands):
    if draw(st.integers(0, 5)) == 0:
        pushes, ops = draw(deep(nbands))
        return pushes + [{"type": op} for op in ops]
    program = draw(expressions(nbands))
    if draw(st.integers(0, 4)) == 0:  # a few malformed or out-of-range additions
        program = draw(noise) + program if draw(st.booleans()) else program + draw(noise)
    return program


@settings(max_examples=700, **SETTINGS)
@given(data=st.data(), nbands=st.integers(0, 3), rows=st.integers(0, 6), cols=st.integers(0, 9),
       out_kind=st.sampled_from(OUT_LAYOUTS), seed=st.integers(0, 2**32 - 1))
def test_programs_match_reference(data, nbands, rows, cols, out_kind, seed):
    program = data.draw(programs(nbands), label="program")
    rng = np.random.default_rng(seed)
    bands, views = [], []
    for k in range(nbands):
        grow = data.draw(st.tuples(*[st.sampled_from([-1, 0, 0, 1, 2])] * 2), label=f"grow {k}")
        shape = (max(0, rows + grow[0]), max(0, cols + grow[1]))
        bands.append(data.draw(arrays(np.uint16, shape), label=f"band {k}"))
        views.append(layouts(bands[-1])[data.draw(st.sampled_from(BAND_LAYOUTS), label=f"layout {k}")])
    old = rng.standard_normal((rows, cols)).astype(np.float32)
    out = place(old, out_kind)
    error = None
    try:
        vexlora.execute_expr_inplace(vexlora.compile_expr(program, nbands), views, out)
    except panic_type() as exc:
        error = exc
    check_against(evaluate_grid(program, bands, (rows, cols)), out, old, error)
