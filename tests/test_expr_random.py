"""Randomised programs compared bit for bit with the element-by-element reference."""

import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vexlora
from conftest import layouts, panic_type
from expr_reference import check_against, evaluate_grid, parse

BINARY, UNARY = ["add", "sub", "mul", "div", "pow"], ["neg", "abs", "sqrt"]
SCALARS = [0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 2.0, -3.0, 0.1, 3e38, -3e38, 1e38, 1e-45, -1e-45, 1e-38,
           1e-10, -1e-10, 65535.0, 1e10, float("inf"), float("-inf"), float("nan")]


def random_program(rng, nbands):
    """Mostly well-formed postfix programs; some underflow, overflow or name a missing band."""
    fault = rng.choice(["none"] * 8 + ["underflow", "overflow", "band"])
    program, depth, length = [], 0, int(rng.integers(0, 25))
    if fault == "underflow" and rng.random() < 0.5:
        program.append({"type": (BINARY + UNARY)[rng.integers(8)]})  # at depth 0
    for step in range(length):
        r = rng.random()
        if depth >= 2 and r < 0.45:
            program.append({"type": BINARY[rng.integers(5)]})
            depth -= 1
        elif depth >= 1 and r < 0.65:
            program.append({"type": UNARY[rng.integers(3)]})
        elif nbands and rng.random() < 0.55:
            program.append({"type": "push_band", "index": int(rng.integers(nbands))})
            depth += 1
        else:
            value = SCALARS[rng.integers(len(SCALARS))] if rng.random() < 0.6 else \
                float(rng.standard_normal() * 10.0 ** rng.integers(-12, 12))
            program.append({"type": "push_scalar", "value": value})
            depth += 1
        if step == length // 2 and fault == "underflow":
            program += [{"type": BINARY[rng.integers(5)]}] * depth  # the last one meets depth 1
        elif step == length // 2 and fault == "overflow":
            program += [{"type": "push_scalar", "value": 1.0}] * int(rng.integers(60, 70))
        elif step == length // 2 and fault == "band":
            program.append({"type": "push_band", "index": [nbands, nbands + 3, 2**64 - 1][rng.integers(3)]})
    while depth > 1 and rng.random() < 0.7:
        program.append({"type": BINARY[rng.integers(5)]})
        depth -= 1
    return program


def random_bands(rng, nbands, shape, allow_small):
    bands = []
    for _ in range(nbands):
        r, c = shape
        if rng.random() < 0.2:
            r, c = r + int(rng.integers(0, 3)), c + int(rng.integers(0, 3))
        if allow_small and rng.random() < 0.1:
            r, c = int(rng.integers(0, r + 1)), int(rng.integers(0, c + 1))
        if rng.random() < 0.25:
            bands.append(rng.choice(np.array([0, 1, 2, 3, 65535], np.uint16), size=(r, c)))
        else:
            bands.append(rng.integers(0, 65536, size=(r, c), dtype=np.uint16))
    return bands


def run(program, bands, out):
    expr = vexlora.compile_expr(program, len(bands))
    try:
        vexlora.execute_expr_inplace(expr, bands, out)
    except panic_type() as exc:
        return exc
    return None


def check_once(rng, program, bands, shape):
    ref = evaluate_grid(program, bands, shape)
    out = rng.standard_normal(shape).astype(np.float32)
    before = out.copy()
    try:
        check_against(ref, out, before, run(program, bands, out))
    except AssertionError as exc:
        raise AssertionError(f"program {program} on bands of shapes {[b.shape for b in bands]}") from exc
    return ref


@pytest.mark.parametrize("seed", range(6))
def test_small_grids(seed):
    rng = np.random.default_rng(1000 + seed)
    failed = 0
    for _ in range(500):
        shape = (int(rng.integers(3, 7)), int(rng.integers(4, 8)))
        nbands = int(rng.integers(0, 5))
        bands = random_bands(rng, nbands, shape, allow_small=True)
        failed += check_once(rng, random_program(rng, nbands), bands, shape).failed
    assert 40 < failed < 200  # the generator exercises both outcomes


@pytest.mark.parametrize("seed", range(4))
def test_larger_grids_in_several_layouts(seed):
    rng = np.random.default_rng(2000 + seed)
    shape = (37, 300)
    bands = random_bands(rng, 3, shape, allow_small=seed == 3)
    program = random_program(rng, 3)
    while len(program) < 8:
        program = random_program(rng, 3)
    ref = evaluate_grid(program, bands, shape)
    old = rng.standard_normal(shape).astype(np.float32)
    for kind in ("c", "fortran", "transposed", "reversed", "stepped"):
        out = np.asarray(old.copy(), order="F" if kind in ("fortran", "transposed") else "C")
        check_against(ref, out, old, run(program, [layouts(b)[kind] for b in bands], out))


TOKENS = st.one_of(
    st.sampled_from(BINARY + UNARY),
    st.integers(0, 2).map(lambda k: {"type": "push_band", "index": k}),
    st.one_of(st.sampled_from(SCALARS), st.floats(width=32)).map(lambda v: {"type": "push_scalar", "value": v}),
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(program=st.lists(TOKENS, max_size=20), seed=st.integers(0, 2**32 - 1))
def test_hypothesis_programs(program, seed):
    program = [{"type": t} if isinstance(t, str) else t for t in program]
    rng = np.random.default_rng(seed)
    check_once(rng, program, random_bands(rng, 3, (4, 5), allow_small=False), (4, 5))


NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8000020000000))[0]
EDGE_PROGRAMS = [
    "", "-0.0 neg abs neg", f"{NAN_PAYLOAD} neg", f"b0 {NAN_PAYLOAD} add b1 mul neg",
    f"{NAN_PAYLOAD} b0 b1 add sub", "b2 b0 b0 add", "b0 b1 b2 b0 b1 b2 mul add sub div 2 pow b2 sub",
    "b0 " + "b1 sub 0.5 b2 add div " * 40 + "neg",  # a value through 160 ops
    " ".join(f"b{k % 3}" for k in range(64)) + " add" * 63,  # the full stack
    # Chains whose values later chains take in registers: one, two, and three candidates for two places;
    # side chains with one-operand ops and a pow that takes a side's value.
    "b0 b1 sub b0 b1 add div", "b0 b1 sub b1 6 mul b0 add b2 7.5 mul sub 1 add div 2.5 mul",
    "b0 b1 add b0 b1 sub b2 b0 mul b1 b2 div add add add", "b0 b1 sub abs sqrt b1 0.5 pow pow neg",
    "b1 b2 mul b0 b1 b2 add div b2 1e-5 mul add pow",  # the second side's value taken by a pow
    # One chain reading two bands twice each (the first operand and a pow's among them).
    "b1 b0 sub b0 div b1 pow",
    # The chain "b2 3 mul add add" reads two slots, and a later chain rewrites one of them before
    # the chain's value is used: it must not be evaluated late.
    "b0 b1 add b2 b0 sub mul b1 b2 add b0 b1 sub mul b2 3 mul add add b0 b1 mul b2 b0 add mul b2 b2 mul sub sub",
]


def laid_out(rng, shape, kind, dtype=np.uint16):
    """C, Fortran or strided ("S") arrays of `shape`."""
    base = rng.integers(0, 65536, (2 * shape[0], 3 * shape[1])).astype(dtype)
    return base[::2, ::3] if kind == "S" else np.array(base[: shape[0], : shape[1]], order=kind)


@pytest.mark.parametrize("shape", [(3, 33), (37, 70), (130, 5)])
@pytest.mark.parametrize("layout", ["CC", "FC", "SC", "FF", "CS"])  # bands, output
@pytest.mark.parametrize("text", EDGE_PROGRAMS)
def test_edge_programs_in_every_layout(text, layout, shape):
    rng = np.random.default_rng(shape[1])
    bands = [laid_out(rng, shape, layout[0]) for _ in range(3)]
    out = laid_out(rng, shape, layout[1], np.float32)
    old = out.copy()
    ref = evaluate_grid(parse(text), bands, shape)
    check_against(ref, out, old, run(parse(text), bands, out))


@pytest.mark.parametrize("count, depth", [(16, 64), (17, 64), (40, 64), (17, 2)])
def test_many_strided_bands_on_a_full_stack(count, depth):
    rng = np.random.default_rng(count)
    bands = [laid_out(rng, (2, 45), "S") for _ in range(count)]
    text = " ".join(f"b{k % count}" for k in range(depth)) + " sqrt sub" + " mul" * (depth - 2)
    out = laid_out(rng, (2, 45), "C", np.float32)
    old = out.copy()
    ref = evaluate_grid(parse(text), bands, (2, 45))
    check_against(ref, out, old, run(parse(text), bands, out))
    assert ref.ok.all()
