"""Shared helpers for the test suite: float32 references in the module's operation order,
bit-level comparison, and the layouts every kernel is checked on."""

import numpy as np
import pytest

import vexlora

# The float32 nearest to 1e-10, added last to every denominator.
EPS = np.array([0x2EDBE6FF], dtype=np.uint32).view(np.float32)[0]

PanicException = None


def panic_type():
    """The PanicException class, obtained from a refused borrow (it is not a module attribute)."""
    global PanicException
    if PanicException is None:
        out = np.zeros((1, 1), np.float32)
        out.flags.writeable = False
        band = np.zeros((1, 1), np.uint16)
        try:
            vexlora.calculate_ratio_inplace(band, band, out)
        except BaseException as exc:  # noqa: BLE001 - the type is what we are after
            PanicException = type(exc)
    return PanicException


def bits(a):
    """The raw float32 bit patterns, so comparisons see signed zeros and NaN payloads."""
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


def assert_bits_equal(actual, expected):
    np.testing.assert_array_equal(bits(actual), bits(expected))


def f32(a):
    return np.asarray(a).astype(np.float32)


def ref_normalized_difference(a, b):
    a, b = f32(a), f32(b)
    with np.errstate(all="ignore"):
        return (a - b) / ((a + b) + EPS)


def ref_ratio(a, b):
    a, b = f32(a), f32(b)
    with np.errstate(all="ignore"):
        return a / (b + EPS)


def ref_adjusted_difference(a, b, l):
    a, b, l = f32(a), f32(b), np.float32(l)
    k = np.float32(1.0) + l
    with np.errstate(all="ignore"):
        return ((a - b) / (((a + b) + l) + EPS)) * k


def ref_evi(n, r, b, g, c1, c2, l):
    n, r, b = f32(n), f32(r), f32(b)
    g, c1, c2, l = (np.float32(x) for x in (g, c1, c2, l))
    with np.errstate(all="ignore"):
        return ((n - r) / (((((r * c1) + n) - (b * c2)) + l) + EPS)) * g


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def random_band(rng, shape):
    return rng.integers(0, 65536, size=shape, dtype=np.uint16)


def layouts(band):
    """The same logical band in several memory layouts (all read-only use is fine)."""
    rows, cols = band.shape
    big = np.zeros((2 * rows + 1, 3 * cols + 2), np.uint16)
    big[1::2, 2::3] = band
    reversed_copy = np.ascontiguousarray(band[::-1, ::-1])
    return {
        "c": np.ascontiguousarray(band),
        "fortran": np.asfortranarray(band),
        "transposed": np.ascontiguousarray(band.T).T,
        "reversed": reversed_copy[::-1, ::-1],
        "stepped": big[1::2, 2::3],
    }
