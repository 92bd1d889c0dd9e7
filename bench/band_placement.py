"""Where the bands lie: kernels against the same formulas as band-math programs, at 8192 x 8192.

NumPy gives each large array its own mapping, so two 8192 x 8192 uint16 bands made one after the
other usually start 128 MiB + 4 KiB apart. A program reads each band once per chain that uses it;
its second read of a block finds the block in the L1 cache only if lines of the two bands at the
same offset can stay there together, which on AMD Zen cores they cannot at that distance (the cache
picks a line's way by a hash of its address). There the module reads one band of each colliding
pair once per block into a slot. This script puts the second (and third) band 4 KiB or 64 KiB past
a multiple of 128 MiB and times both in interleaved rounds, so that a drifting machine treats them
alike:

    python bench/band_placement.py [--repeat 15]
"""

from __future__ import annotations

import argparse

import numpy as np

import vexlora
from bench import WORKLOADS, program, timed_together  # the main benchmark's formulas and timing

N = 8192
BAND_BYTES = N * N * 2
STRIDE = 1 << 27  # 128 MiB, one band


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15, help="interleaved rounds")
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    out = np.empty((N, N), np.float32)
    ndvi = vexlora.compile_expr(program(WORKLOADS["ndvi"][3]), 2)
    evi = vexlora.compile_expr(program(WORKLOADS["evi"][3]), 3)
    for gap in (4 << 10, 64 << 10):
        storage = np.empty(3 * (STRIDE + gap) + (2 << 20), np.uint8)
        start = (-storage.ctypes.data) % (2 << 20) + 16  # NumPy's usual offset into a fresh page

        def band(k):
            offset = start + k * (STRIDE + gap)
            view = np.ndarray((N, N), np.uint16, storage[offset: offset + BAND_BYTES])
            view[...] = rng.integers(0, 10000, (N, N), dtype=np.uint16)
            return view

        a, b, c = band(0), band(1), band(2)
        calls = {
            "ndvi kernel": lambda: vexlora.calculate_normalized_difference_inplace(a, b, out),
            "ndvi program": lambda: vexlora.execute_expr_inplace(ndvi, [a, b], out),
            "evi kernel": lambda: vexlora.calculate_evi_inplace(a, b, c, 2.5, 6.0, 7.5, 1.0, out),
            "evi program": lambda: vexlora.execute_expr_inplace(evi, [a, b, c], out),
        }
        best = {name: t[1] * 1e3 for name, t in timed_together(calls, args.repeat).items()}
        print(f"bands 128 MiB + {gap >> 10} KiB apart: "
              + ", ".join(f"{name} {ms:.2f} ms" for name, ms in best.items())
              + f"; program/kernel: ndvi {best['ndvi program'] / best['ndvi kernel']:.2f},"
              f" evi {best['evi program'] / best['evi kernel']:.2f}")
        del a, b, c, storage


if __name__ == "__main__":
    main()
