"""Memory floor: how close vexlora's two-band kernels come to moving their bytes with no arithmetic.

Builds bench/memory_floor.cpp with the system's C++ compiler (g++ or $CXX, with -march=native) and
times its passes in interleaved rounds with vexlora and NumPy on the same arrays, so that a shared
machine's drift treats them alike:
  * floor passes on every core with streaming stores: a float32 write, a read of two uint16
    bands, and both together (out = a + b: the bytes of NDVI and ratio); the write and the read
    also in the order that a transposing tile uses (C output, Fortran bands);
  * vexlora NDVI and ratio on C-ordered arrays, and NDVI with Fortran-ordered bands into a
    C-ordered output;
  * NumPy's best for NDVI and ratio (out= ufuncs over cache-sized blocks, as in bench.py).
It prints min and median times and the ratios of minimum times: the kernel against the floor,
NumPy's best against the floor (roughly the speed-up over NumPy that moving the bytes this way
allows), the read and the write timed apart against the floor (near 1 when they share one limit),
and the tiled read and write against the floor (what the mixed layout's memory pattern alone costs). The floor is one way of moving the bytes, not a lower bound: a kernel can beat it, and
on a machine whose memory speed drifts its ratios vary from run to run.

    python bench/memory_floor.py            # 2048 x 2048
    python bench/memory_floor.py --large    # adds 8192 x 8192
"""

from __future__ import annotations

import argparse
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import bench  # the timing loop, formulas and NumPy baseline (this script's own directory)
import vexlora

PASSES = {
    "floor: streamed write": 0,
    "floor: read two bands": 1,
    "floor: two bands -> float32": 2,
    "floor: streamed write, tiled": 3,
    "floor: read two bands, tiled": 4,
}


def build_library(workdir: Path) -> ctypes.CDLL:
    source = Path(__file__).resolve().parent / "memory_floor.cpp"
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        sys.exit("memory_floor.py needs a C++ compiler (g++, or set CXX)")
    target = workdir / "memory_floor.so"
    subprocess.run([compiler, "-O2", "-march=native", "-std=c++20", "-shared", "-fPIC", "-pthread",
                    str(source), "-o", str(target)], check=True)
    lib = ctypes.CDLL(str(target))
    lib.floor_threads.restype = ctypes.c_uint
    lib.floor_pass.restype = ctypes.c_float
    lib.floor_pass.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
    return lib


def line_aligned_copy(array: np.ndarray, order: str) -> np.ndarray:
    """A copy whose data starts on a 64-byte boundary (streaming stores need aligned vectors)."""
    storage = np.empty(array.nbytes + 64, np.uint8)
    start = -storage.ctypes.data % 64
    view = np.ndarray(array.shape, array.dtype, storage[start:start + array.nbytes], order=order)
    view[...] = array
    return view


def measure(lib: ctypes.CDLL, n: int, repeat: int, rng: np.random.Generator) -> None:
    # vexlora and NumPy get arrays where NumPy puts them; the floor passes get line-aligned copies.
    a, b = (rng.integers(0, 65536, (n, n), dtype=np.uint16) for _ in range(2))
    fa, fb = np.asfortranarray(a), np.asfortranarray(b)
    out = np.empty((n, n), np.float32)
    numpy_out = np.empty((n, n), np.float32)
    floor_c = [line_aligned_copy(x, "C") for x in (a, b)]
    floor_f = [line_aligned_copy(x, "F") for x in (fa, fb)]
    floor_out = line_aligned_copy(out, "C")

    def floor(kind):
        x, y = floor_f if kind == 4 else floor_c
        return lambda: lib.floor_pass(kind, x.ctypes.data, y.ctypes.data, floor_out.ctypes.data, n)

    fns = {name: floor(kind) for name, kind in PASSES.items()}
    ndvi, ratio = bench.WORKLOADS["ndvi"], bench.WORKLOADS["ratio"]
    fns["vexlora ndvi"] = lambda: vexlora.calculate_normalized_difference_inplace(a, b, out)
    fns["vexlora ratio"] = lambda: vexlora.calculate_ratio_inplace(a, b, out)
    fns["vexlora ndvi, mixed"] = lambda: vexlora.calculate_normalized_difference_inplace(fa, fb, out)
    fns["numpy best ndvi"] = bench.numpy_blocked(bench.program(ndvi[3]), [a, b], numpy_out)
    fns["numpy best ratio"] = bench.numpy_blocked(bench.program(ratio[3]), [a, b], numpy_out)
    times = bench.timed_together(fns, repeat)

    print(f"\n{n} x {n}, {lib.floor_threads()} threads")
    for name, (median, best) in times.items():
        print(f"  {name:32s} median {median * 1e3:8.3f} ms   min {best * 1e3:8.3f} ms")
    floor_min = times["floor: two bands -> float32"][1]
    tiled_min = times["floor: read two bands, tiled"][1] + times["floor: streamed write, tiled"][1]
    apart_min = times["floor: read two bands"][1] + times["floor: streamed write"][1]
    ratios = {
        # Near 1 when reads and writes share one limit: overlapping them buys nothing.
        "(read two bands + streamed write) / floor": apart_min / floor_min,
        # What a mixed layout's memory pattern alone costs against one memory order.
        "(tiled read + tiled write) / floor": tiled_min / floor_min,
        "vexlora ndvi / floor": times["vexlora ndvi"][1] / floor_min,
        "vexlora ratio / floor": times["vexlora ratio"][1] / floor_min,
        "vexlora ndvi, mixed / vexlora ndvi": times["vexlora ndvi, mixed"][1] / times["vexlora ndvi"][1],
        "vexlora ndvi, mixed / (tiled read + tiled write)": times["vexlora ndvi, mixed"][1] / tiled_min,
        "numpy best ndvi / floor": times["numpy best ndvi"][1] / floor_min,
        "numpy best ratio / floor": times["numpy best ratio"][1] / floor_min,
    }
    print("  ratios of minimum times:")
    for name, value in ratios.items():
        print(f"    {name:50s} {value:6.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="add 8192 x 8192 (about 1 GB of memory)")
    parser.add_argument("--repeat", type=int, default=15, help="timed rounds")
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    with tempfile.TemporaryDirectory() as tmp:
        lib = build_library(Path(tmp))
        for n in (2048, 8192) if args.large else (2048,):
            measure(lib, n, args.repeat, rng)


if __name__ == "__main__":
    main()
