"""Differential fuzzing, run as a script in one process per instruction set (VEXLORA_ISA is read once
per process): random kernel calls and random band-math programs against the Python references, on
arrays laid over raw byte buffers at any byte offset with any byte strides (odd, negative, zero for
bands), until a time budget is spent.

    python tests/differential.py SECONDS SEED

Prints the number of kernel calls and programs checked; a mismatch ends it with the case's
description, which SEED and the case number reproduce.
"""

import sys
import time

import numpy as np

import vexlora
from conftest import ref_adjusted_difference, ref_evi, ref_normalized_difference, ref_ratio
from expr_reference import check_against, evaluate_grid
from test_expr_random import random_program
from test_properties import SPECIAL, assert_kernel_bits

KERNELS = {  # name: function, band count, scalar count, reference
    "normalized_difference": (vexlora.calculate_normalized_difference_inplace, 2, 0, ref_normalized_difference),
    "ratio": (vexlora.calculate_ratio_inplace, 2, 0, ref_ratio),
    "adjusted_difference": (vexlora.calculate_adjusted_difference_inplace, 2, 1, ref_adjusted_difference),
    "evi": (vexlora.calculate_evi_inplace, 3, 4, ref_evi),
    "allocating": (vexlora.calculate_normalized_difference, 2, 0, ref_normalized_difference),
}


def byte_strides(rng, shape, itemsize, output):
    """(row, column) byte strides: C or Fortran order, reversed, padded, or any byte count; an output's
    elements never overlap, a band's may (a zero stride repeats one row or column)."""
    rows, cols = shape
    kind = rng.choice(["C", "F", "odd", "odd-F", "zero"] if not output else ["C", "F", "odd", "odd-F"])
    inner = itemsize if kind in ("C", "F") else int(rng.integers(itemsize, 4 * itemsize + 4))
    if kind == "zero":
        strides = [0, inner] if rng.random() < 0.5 else [inner, 0]
    else:
        outer = inner * (cols if kind in ("C", "odd") else rows) + int(rng.integers(0, 9) if rng.random() < 0.5 else 0)
        strides = [outer, inner] if kind in ("C", "odd") else [inner, outer]
    return [s * (-1 if rng.random() < 0.2 else 1) for s in strides]


def laid_over_bytes(rng, shape, dtype, output):
    """A `dtype` array of `shape` over a fresh byte buffer, starting at a random byte offset."""
    itemsize = np.dtype(dtype).itemsize
    strides = byte_strides(rng, shape, itemsize, output)
    low = sum(min(0, (n - 1) * s) for n, s in zip(shape, strides) if n > 0)
    high = sum(max(0, (n - 1) * s) for n, s in zip(shape, strides) if n > 0) + itemsize
    start = -low + int(rng.integers(0, 16))
    buffer = np.zeros(start + high + 16, np.uint8)
    return np.ndarray(shape, dtype, buffer=buffer, offset=start, strides=strides)


def random_bands(rng, count, shape, grow):
    bands = []
    for _ in range(count):
        band_shape = shape
        if grow:  # programs read bands larger than the output, and smaller ones (an out-of-band failure)
            band_shape = tuple(max(0, n + int(rng.choice([-1, 0, 0, 0, 1, 2]))) for n in shape)
        band = laid_over_bytes(rng, band_shape, np.uint16, output=False)
        if rng.random() < 0.3:
            band[...] = rng.choice(np.array([0, 1, 2, 65535], np.uint16), size=band_shape)
        else:
            band[...] = rng.integers(0, 65536, size=band_shape, dtype=np.uint16)
        bands.append(band)
    return bands


def random_shape(rng, largest):
    if rng.random() < 0.1:
        return int(rng.integers(0, 3)), int(rng.integers(0, 3))
    return int(rng.integers(1, largest[0] + 1)), int(rng.integers(1, largest[1] + 1))


def random_scalar(rng):
    if rng.random() < 0.5:
        return SPECIAL[rng.integers(len(SPECIAL))]
    return float(rng.standard_normal() * 10.0 ** rng.integers(-40, 40))


def kernel_case(rng, note):
    name = list(KERNELS)[rng.integers(len(KERNELS))]
    fn, count, nscalars, reference = KERNELS[name]
    shape = random_shape(rng, (300, 300) if rng.random() < 0.05 else (40, 90))
    bands = random_bands(rng, count, shape, grow=False)
    scalars = [random_scalar(rng) for _ in range(nscalars)]
    note["case"] = f"{name} shape {shape} band strides {[b.strides for b in bands]} scalars {scalars}"
    with np.errstate(over="ignore"):
        expected = reference(*[np.array(b) for b in bands], *scalars)
    if name == "allocating":
        out = fn(*bands)
    else:
        out = laid_over_bytes(rng, shape, np.float32, output=True)
        out[...] = np.nan
        fn(*bands, *scalars, out)
    if name != "allocating":
        note["case"] += f" output strides {out.strides}"
    assert_kernel_bits(out, expected, scalars)


def program_case(rng, note):
    count = int(rng.integers(0, 4))
    shape = random_shape(rng, (6, 70))
    program = random_program(rng, count)
    bands = random_bands(rng, count, shape, grow=True)
    out = laid_over_bytes(rng, shape, np.float32, output=True)
    out[...] = rng.standard_normal(shape).astype(np.float32)
    old = np.array(out)
    note["case"] = (f"program {program} band shapes {[b.shape for b in bands]} strides {[b.strides for b in bands]}"
                    f" output shape {shape} strides {out.strides}")
    error = None
    try:
        vexlora.execute_expr_inplace(vexlora.compile_expr(program, count), bands, out)
    except BaseException as exc:  # noqa: BLE001 - PanicException, checked against the reference
        error = exc
    check_against(evaluate_grid(program, [np.array(b) for b in bands], shape), out, old, error)


def main(seconds, seed):
    rng = np.random.default_rng(seed)
    deadline = time.monotonic() + seconds
    counts = {kernel_case: 0, program_case: 0}
    case = 0
    while time.monotonic() < deadline or min(counts.values()) == 0:
        check, note = (kernel_case, program_case)[case % 2], {}
        try:
            check(rng, note)
        except AssertionError as exc:
            raise AssertionError(f"case {case} of seed {seed}: {note.get('case')}") from exc
        counts[check] += 1
        case += 1
    print(counts[kernel_case], counts[program_case])


if __name__ == "__main__":
    main(float(sys.argv[1]), int(sys.argv[2]))
