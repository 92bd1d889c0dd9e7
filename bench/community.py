"""The community catalogue at engine speed: every index the package can serve, vexlora's compute_index
on uint16 DN with their encoding against spyndex's computeIndex (NumPy) on the same reflectance, as
float32 arrays and as the float64 arrays that `dn * 1e-4 - 0.1` gives in NumPy. Interleaved rounds
(the order of the calls turns each round); per index the minimum of each, then the median and worst
ratio over the catalogue.

    python bench/community.py [--size 2048] [--rounds 3] [--dtypes float32,float64]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import spyndex

from vexlora_formulas import COMMUNITY_BANDS, compute_index, load_catalogue

S2 = {"scale_factor": 1e-4, "add_offset": -0.1}
THERMAL = {"scale_factor": 0.00341802, "add_offset": 149.0}  # Landsat surface temperature, kelvin
GIVEN = {"lambdaG": 560.0, "lambdaR": 665.0, "lambdaN": 842.0, "lambdaN2": 865.0, "lambdaS1": 1610.0,
         "lambdaS2": 2190.0, "PAR": 1.3}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dtypes", default="float32,float64")
    args = parser.parse_args()
    dtypes = args.dtypes.split(",")
    catalogue = load_catalogue()
    rng = np.random.default_rng(0)
    shape = (args.size, args.size)
    dn, physical = {}, {}
    for band in COMMUNITY_BANDS.values():
        thermal = band.startswith("thermal")
        dn[band] = rng.integers(40000, 50000, shape, np.uint16) if thermal else rng.integers(1100, 7000, shape, np.uint16)
        enc = THERMAL if thermal else S2
        exact = dn[band] * enc["scale_factor"] + enc["add_offset"]  # float64
        for dtype in dtypes:
            physical[dtype, band] = exact.astype(dtype)
    symbol = {name: sym for sym, name in COMMUNITY_BANDS.items()}
    calls = {}
    for name, entry in catalogue.items():
        given = {k: v for k, v in GIVEN.items() if k in entry.required}
        enc = {w: {b: (THERMAL if b.startswith("thermal") else S2)[w] for b in entry.bands} for w in S2}
        ours = {"constants": given, **enc, **{b: dn[b] for b in entry.bands}}
        sides = [lambda e=entry, kw=ours: compute_index(e, **kw)]
        for dtype in dtypes:
            theirs = {**entry.constants, **given, **{symbol[b]: physical[dtype, b] for b in entry.bands}}
            sides.append(lambda n=name, p=theirs: spyndex.computeIndex(n, params=p))
        calls[name] = sides
    times: dict[str, list[list[float]]] = {name: [[] for _ in sides] for name, sides in calls.items()}
    with np.errstate(all="ignore"):
        agree = _warm_up_and_compare(calls)
        for round_ in range(args.rounds):
            for name, sides in calls.items():
                order = list(range(len(sides)))
                for side in order[round_ % len(order):] + order[: round_ % len(order)]:
                    start = time.perf_counter()
                    sides[side]()
                    times[name][side].append(time.perf_counter() - start)
    for column, dtype in enumerate(dtypes, 1):
        _report({name: (t[0], t[column]) for name, t in times.items()}, agree, args, dtype)


def _warm_up_and_compare(calls: dict[str, list]) -> dict[str, float]:  # type: ignore[type-arg]
    """One call of each (programs compiled, pages touched); the median relative difference of
    vexlora's result from spyndex's on the widest reflectance."""
    agree = {}
    for name, (ours, *theirs) in calls.items():
        a = ours()
        b = [np.asarray(f(), np.float64) for f in theirs][-1]
        agree[name] = float(np.nanmedian(np.abs(a - b) / np.maximum(np.abs(b), 1e-30)))
    return agree


def _report(times: dict[str, tuple[list[float], list[float]]], agree: dict[str, float], args: argparse.Namespace,
            dtype: str) -> None:
    rows = sorted((min(t[1]) / min(t[0]), name, min(t[0]), min(t[1])) for name, t in times.items())
    print(f"\n{len(rows)} community indices, {args.size} x {args.size}, {args.rounds} interleaved rounds (minimum "
          f"of each); spyndex on {dtype} reflectance")
    print(f"{'index':14} {'vexlora ms':>11} {'spyndex ms':>11} {'ratio':>7}")
    for row in [*rows[:8], None, *rows[-5:]]:
        if row is None:
            print("  ...")
            continue
        ratio, name, ours, theirs = row
        print(f"{name:14} {ours * 1e3:11.2f} {theirs * 1e3:11.2f} {ratio:7.1f}")
    ratios = [r[0] for r in rows]
    print(f"ratio spyndex / vexlora: median {statistics.median(ratios):.1f}x, worst {ratios[0]:.1f}x ({rows[0][1]}), "
          f"best {ratios[-1]:.1f}x ({rows[-1][1]})")
    print(f"vexlora total {sum(r[2] for r in rows):.2f} s, spyndex total {sum(r[3] for r in rows):.2f} s")
    print(f"results agree: median relative difference per index at most {max(agree.values()):.1e} "
          f"({max(agree, key=agree.__getitem__)})")


if __name__ == "__main__":
    main()
