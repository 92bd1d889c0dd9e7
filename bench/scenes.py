"""What the Python layer costs: compute_index with an encoding and nodata against the bare kernel,
its per-call overhead against the execute_expr_inplace call it makes, and a dask array in chunks
against one whole-array call. Interleaved rounds, minimum and median of each.

    python bench/scenes.py [--size 8192] [--chunk 1024] [--rounds 7]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import vexlora
from vexlora_formulas import compute_index
from vexlora_formulas._compute import ProgramKey, program

S2 = {"scale_factor": 1e-4, "add_offset": -0.1, "nodata": 0}


def interleaved(cases: dict[str, object], rounds: int, repeat: int = 1) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            start = time.perf_counter()
            for _ in range(repeat):
                fn()  # type: ignore[operator]
            times[name].append((time.perf_counter() - start) / repeat)
    return times


def report(title: str, times: dict[str, list[float]], base: str) -> None:
    print(title)
    best = min(times[base])
    for name, values in times.items():
        print(f"  {name:44} min {min(values) * 1e3:9.3f} ms  median {statistics.median(values) * 1e3:9.3f} ms"
              f"  {min(values) / best:5.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=8192)
    parser.add_argument("--chunk", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    nir, red = (rng.integers(1, 10000, (args.size, args.size), dtype=np.uint16) for _ in range(2))
    out = np.empty(nir.shape, np.float32)
    report(f"NDVI {args.size}^2", interleaved({
        "calculate_normalized_difference_inplace": lambda: vexlora.calculate_normalized_difference_inplace(nir, red, out),
        "compute_index S2 encoding + nodata, out=": lambda: compute_index("NDVI", out, nir=nir, red=red, **S2),
    }, args.rounds), "calculate_normalized_difference_inplace")

    small_n, small_r = nir[:256, :256].copy(), red[:256, :256].copy()
    small_out = np.empty((256, 256), np.float32)
    compute_index("NDVI", small_out, nir=small_n, red=small_r, **S2)
    expr = _cached_expr()
    report("per call, 256^2", interleaved({
        "execute_expr_inplace": lambda: vexlora.execute_expr_inplace(expr, [small_n, small_r], small_out),
        "compute_index S2 encoding + nodata, out=": lambda: compute_index("NDVI", small_out, nir=small_n, red=small_r, **S2),
    }, args.rounds * 3, repeat=200), "execute_expr_inplace")

    try:
        import dask
        import dask.array as da
    except ImportError:
        return
    lazy = compute_index("NDVI", nir=da.from_array(nir, args.chunk), red=da.from_array(red, args.chunk), **S2)
    with dask.config.set(scheduler="threads"):
        report(f"NDVI {args.size}^2, dask chunks {args.chunk}^2 (threads)", interleaved({
            "compute_index whole array, out=": lambda: compute_index("NDVI", out, nir=nir, red=red, **S2),
            # A dask result is a new array: the like-for-like call allocates its output too.
            "compute_index whole array, new array": lambda: compute_index("NDVI", nir=nir, red=red, **S2),
            "compute_index dask, computed": lambda: lazy.compute(),
            # What writing the result to a file or zarr costs: no final concatenation of the blocks.
            "compute_index dask, stored into out": lambda: da.store(lazy, out, lock=False),
        }, args.rounds), "compute_index whole array, out=")


def _cached_expr() -> vexlora.CompiledExpr:
    """The program compute_index built above, from its cache (the same object it runs)."""
    key = ProgramKey("(nir - red) / (nir + red)", ("nir", "red"), (),
                     (((1e-4).hex(), (-0.1).hex(), 0), ((1e-4).hex(), (-0.1).hex(), 0)))
    return program(key)


if __name__ == "__main__":
    main()
