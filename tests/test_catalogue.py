"""Tests of the index catalogue and compute_index: each entry compiles, uses exactly its declared
bands and constants, and equals an independent NumPy float32 evaluation of its formula bit for bit."""

import ast
import ctypes
import ctypes.util
import re

import numpy as np
import pytest

import vexlora
from conftest import EPS, assert_bits_equal, ref_adjusted_difference, ref_evi, ref_normalized_difference
from vexlora_formulas import BANDS, CATALOGUE, compile_formula, compute_index, get_index

_powf = ctypes.CDLL(ctypes.util.find_library("m")).powf
_powf.restype, _powf.argtypes = ctypes.c_float, [ctypes.c_float, ctypes.c_float]
_pow = np.vectorize(lambda base, exp: _powf(float(base), float(exp)), otypes=[np.float32])
_SIGN = np.uint32(0x80000000)
ENTRIES = sorted(CATALOGUE.values(), key=lambda entry: entry.name)


def numpy_eval(formula, bands, constants):
    """`formula` read by Python's own parser and evaluated in NumPy float32, one rounding per
    operation in the written order, every division as a / (b + EPS)."""

    def value(node):
        match node:
            case ast.Constant(value=number):
                return np.float32(float(number))
            case ast.Name(id=name):
                return bands[name].astype(np.float32) if name in bands else np.float32(constants[name])
            case ast.UnaryOp(op=ast.UAdd(), operand=operand):
                return value(operand)
            case ast.UnaryOp(op=ast.USub(), operand=operand):
                return (np.asarray(value(operand), np.float32).view(np.uint32) ^ _SIGN).view(np.float32)
            case ast.Call(func=ast.Name(id="abs"), args=[argument]):
                return (np.asarray(value(argument), np.float32).view(np.uint32) & ~_SIGN).view(np.float32)
            case ast.Call(func=ast.Name(id="sqrt"), args=[argument]):
                return np.sqrt(value(argument))
            case ast.BinOp(left=left, op=op, right=right):
                a, b = value(left), value(right)
                match op:
                    case ast.Add():
                        return a + b
                    case ast.Sub():
                        return a - b
                    case ast.Mult():
                        return a * b
                    case ast.Div():
                        return a / (b + EPS)
                    case ast.Pow():
                        return _pow(a, b)
        raise AssertionError(f"not in the formula language: {ast.dump(node)}")

    shape = next(iter(bands.values())).shape
    with np.errstate(all="ignore"):
        return np.broadcast_to(value(ast.parse(formula, mode="eval").body), shape).astype(np.float32)


def scene(rng, shape=(9, 31)):
    """All catalogue bands: full-range rows, reflectance-like rows and rows of 0 to 2 (zero and equal
    values, so zero denominators and 0 / 0 occur)."""
    bands = {name: rng.integers(0, 65536, shape, dtype=np.uint16) for name in BANDS}
    for band in bands.values():
        band[:3] = rng.integers(0, 3, (3, shape[1]))
        band[3:6] = rng.integers(0, 10000, (3, shape[1]))
    return bands


def test_catalogue_has_the_common_indices():
    expected = "NDVI EVI EVI2 SAVI OSAVI MSAVI NDWI MNDWI NBR NBR2 NDMI NDBI GNDVI ARVI VARI SIPI GCI".split()
    assert len(CATALOGUE) >= 30
    assert set(expected) <= set(CATALOGUE)


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda entry: entry.name)
def test_entry_declares_what_its_formula_uses(entry):
    names = {node.id for node in ast.walk(ast.parse(entry.formula, mode="eval")) if isinstance(node, ast.Name)}
    assert names - {"abs", "sqrt"} == set(entry.bands) | set(entry.constants)
    assert set(entry.bands) <= set(BANDS) and len(set(entry.bands)) == len(entry.bands)
    assert entry.long_name and re.search(r"\((19|20)\d\d\)", entry.reference)
    assert get_index(entry.name.lower()) is entry


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda entry: entry.name)
def test_entry_matches_numpy_bit_for_bit(entry, rng):
    bands = scene(rng)
    expected = numpy_eval(entry.formula, bands, entry.constants)
    expr = compile_formula(entry.formula, entry.bands, constants=entry.constants, compile=True)
    out = np.full(expected.shape, 7.0, np.float32)
    vexlora.execute_expr_inplace(expr, [bands[name] for name in entry.bands], out)
    assert_bits_equal(out, expected)
    # scale_factor=1: the bands hold the physical values, so the program is the formula as written
    assert_bits_equal(compute_index(entry.name, scale_factor=1, **bands), expected)  # unused bands are ignored


@pytest.mark.parametrize(
    "formula",
    ["-nir ** 2 / red - -blue", "2 ** -1 * nir - abs(red - nir) ** 0.5", "nir / red / blue * 3 - 1e-3 + -(+red)"],
)
def test_free_formulas_match_numpy_bit_for_bit(formula, rng):
    bands = scene(rng)
    out = np.empty((9, 31), np.float32)
    vexlora.execute_expr_inplace(compile_formula(formula, BANDS, compile=True), [bands[b] for b in BANDS], out)
    assert_bits_equal(out, numpy_eval(formula, bands, {}))


@pytest.mark.parametrize(
    "name, constants, reference",
    [
        ("NDVI", None, lambda b: ref_normalized_difference(b["nir"], b["red"])),
        ("SAVI", None, lambda b: ref_adjusted_difference(b["nir"], b["red"], 0.5)),
        ("EVI", None, lambda b: ref_evi(b["nir"], b["red"], b["blue"], 2.5, 6.0, 7.5, 1.0)),
        ("EVI", {"L": 10000.0}, lambda b: ref_evi(b["nir"], b["red"], b["blue"], 2.5, 6.0, 7.5, 10000.0)),
    ],
)
def test_entries_agree_with_the_fixed_kernels(name, constants, reference, rng):
    bands = scene(rng)
    assert_bits_equal(compute_index(name, constants=constants, scale_factor=1, **bands), reference(bands))


def test_compute_index_output_buffer(rng):
    bands = scene(rng)
    new = compute_index("NDWI", green=bands["green"], nir=bands["nir"])
    assert new.dtype == np.float32 and new.shape == (9, 31) and new.flags.c_contiguous
    given = np.asfortranarray(np.zeros((9, 31), np.float32))
    assert compute_index("ndwi", given, **bands) is given
    assert_bits_equal(given, new)


def test_compute_index_caches_per_constants(rng):
    bands = scene(rng)
    savi = CATALOGUE["SAVI"]
    results = {}
    for l_value in (0.5, 1.0, 0.5, 0.25):
        results[l_value] = compute_index("SAVI", constants={"L": l_value}, scale_factor=1, **bands)
        expected = numpy_eval(savi.formula, bands, {**savi.constants, "L": l_value})
        assert_bits_equal(results[l_value], expected)
    assert not np.array_equal(results[0.5], results[1.0])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda b: compute_index("NDXI", **b), KeyError, "NDXI"),
        (lambda b: compute_index("SAVI", constants={"K": 1.0}, **b), ValueError, "no constant 'K'"),
        (lambda b: compute_index("EVI", nir=b["nir"], red=b["red"]), TypeError, "'blue'"),
        (lambda b: compute_index("NDVI", nir=b["nir"], red=b["red"][:, 1:]), ValueError, "'red' has shape"),
        (lambda b: compute_index("NDVI", np.empty((9, 30), np.float32), **b), ValueError, "out has shape"),
    ],
)
def test_compute_index_errors(call, error, message, rng):
    with pytest.raises(error, match=message):
        call(scene(rng))
