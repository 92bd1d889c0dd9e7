"""The allocating normalized difference against the in-place call, in interleaved rounds.

`calculate_normalized_difference` is the in-place computation into a new zero-filled array. A new
array of this size is fresh memory that the kernel's threads touch first, so each of its pages is
faulted in and cleared by the operating system inside the call; the in-place call writes memory
that is already mapped. A third row makes the new array with NumPy first (np.zeros) and then runs
the in-place call on it, which shows what fresh memory costs without the module; a fourth writes
fresh memory with np.zeros and one fill, on one thread, for scale.

    python bench/allocating.py [--sizes 2048,8192] [--repeat 9]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import vexlora


def rounds(fns, repeat):
    """Seconds per call of each callable over `repeat` interleaved rounds, after one warm-up each."""
    for fn in fns.values():
        fn()
    samples = {name: [] for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            start = time.perf_counter()
            fn()
            samples[name].append(time.perf_counter() - start)
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="2048,8192", help="square sizes, comma-separated")
    parser.add_argument("--repeat", type=int, default=9, help="interleaved rounds")
    args = parser.parse_args()
    rng = np.random.default_rng(3)
    print(f"{'size':>6} {'call':<24} {'min ms':>8} {'median ms':>10} {'median / in place':>18}")
    for n in (int(s) for s in args.sizes.split(",")):
        a = rng.integers(0, 65536, (n, n), dtype=np.uint16)
        b = rng.integers(0, 65536, (n, n), dtype=np.uint16)
        out = np.empty((n, n), np.float32)
        fns = {
            "allocating": lambda: vexlora.calculate_normalized_difference(a, b),
            "in place": lambda: vexlora.calculate_normalized_difference_inplace(a, b, out),
            "np.zeros, then in place": lambda: vexlora.calculate_normalized_difference_inplace(
                a, b, np.zeros((n, n), np.float32)),
            "np.zeros, then fill": lambda: np.zeros((n, n), np.float32).fill(1.0),
        }
        samples = rounds(fns, args.repeat)
        # Ratios round by round, so that the machine's drift cancels.
        ratio = {name: statistics.median(x / y for x, y in zip(v, samples["in place"])) for name, v in samples.items()}
        for name, v in samples.items():
            print(f"{n:>6} {name:<24} {min(v) * 1e3:>8.2f} {statistics.median(v) * 1e3:>10.2f} {ratio[name]:>18.2f}")


if __name__ == "__main__":
    main()
