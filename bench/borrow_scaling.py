"""Borrowing many views of one array: one band-math call over the n planes of a 3-D band, with its
output a further plane of the same memory, so that the write borrow meets all n read borrows.

The borrows are taken and released with the interpreter lock held, so their cost is time that no
other Python thread gets; it should grow with n, not with n squared. Each row prints the whole
call's best and median time and the median per plane:

    python bench/borrow_scaling.py [--sizes 10000,40000,100000] [--repeat 5]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import vexlora


def timed(n: int, repeat: int) -> list[float]:
    memory = np.zeros((n + 1, 1, 2), np.uint16)  # n planes of 1 x 2 bands, then the output's 4 bytes
    bands, out = memory[:n], memory[n].view(np.float32)
    expr = vexlora.compile_expr([{"type": "push_band", "index": n - 1}], n)
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        vexlora.execute_expr_inplace(expr, bands, out)
        times.append(time.perf_counter() - start)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,40000,100000", help="plane counts, comma-separated")
    parser.add_argument("--repeat", type=int, default=5, help="calls per size")
    args = parser.parse_args()
    print(f"{'planes':>8} {'best ms':>10} {'median ms':>10} {'us/plane':>9}")
    for n in (int(s) for s in args.sizes.split(",")):
        times = timed(n, args.repeat)
        median = statistics.median(times)
        print(f"{n:>8} {min(times) * 1e3:>10.1f} {median * 1e3:>10.1f} {median / n * 1e6:>9.2f}")


if __name__ == "__main__":
    main()
