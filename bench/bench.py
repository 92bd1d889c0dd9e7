"""vexlora benchmark: spectral indices and band-math programs against NumPy, numexpr and memory bandwidth.

For each size and memory layout the same uint16 bands are timed with:
  * the bandwidth reference: a streaming float32 copy with one thread and with one thread per core
    (np.copyto on row blocks); the bound of a workload is its bytes per pixel (2 per uint16 input,
    4 per float32 output) divided by the threaded copy's bandwidth;
  * NumPy: the straightforward float32 expression, and its best (preallocated out= ufuncs on blocks
    that stay in cache);
  * numexpr.evaluate(..., out=) on the uint16 bands and on float32 copies made beforehand;
  * vexlora: the five spectral functions, the same formulas as band-math programs, and one longer
    program that uses every op.
Every row reports median and minimum time, megapixels per second, the ratio to NumPy's best (> 1 is
faster), the share of the bandwidth bound reached, and whether the result is bit-identical to a
float32 evaluation in the module's order of operations. A final table gives per-call overhead on
1 x 1 and 16 x 16 arrays.

    python bench/bench.py             # 256 x 256 and 2048 x 2048, all layouts
    python bench/bench.py --large     # adds 8192 x 8192 (needs about 2 GB of memory)
    python bench/bench.py --quick     # fewer repetitions; finishes in well under a minute
    python bench/bench.py --json out.json
    python bench/bench.py --layouts C,split   # split: one Fortran-ordered band among C-ordered ones

numexpr is optional (the `bench` extra); its rows are skipped when it is missing.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import json
import os
import platform
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import vexlora

try:
    import numexpr
except ImportError:  # the numexpr rows are optional
    numexpr = None

EPS = np.array([0x2EDBE6FF], dtype=np.uint32).view(np.float32)[0]
F32 = np.float32
THREADS = os.cpu_count() or 1
_powf = ctypes.CDLL(ctypes.util.find_library("m")).powf
_powf.restype, _powf.argtypes = ctypes.c_float, [ctypes.c_float, ctypes.c_float]


# ---------------------------------------------------------------- timing and bandwidth

def timed(fn, repeat, min_seconds=0.0):
    """Median and minimum seconds per call over `repeat` runs (each run repeats fn to min_seconds)."""
    return timed_together({"fn": fn}, repeat, min_seconds)["fn"]


def timed_together(fns, repeat, min_seconds=0.0):
    """Times several callables in interleaved rounds, so that a machine whose speed drifts (shared
    hosts, turbo) treats them alike; each is run once untimed before its timed run in a round, so
    data that fits in cache is measured in cache. Per callable the median and minimum seconds per call."""
    for fn in fns.values():
        fn()  # warm-up: first-touch pages, thread start, instruction-set choice
    samples = {name: [] for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            fn()  # brings this implementation's data back into cache after the others ran
            calls, start = 0, time.perf_counter()
            while True:
                fn()
                calls += 1
                elapsed = time.perf_counter() - start
                if elapsed >= min_seconds:
                    break
            samples[name].append(elapsed / calls)
    return {name: (statistics.median(v), min(v)) for name, v in samples.items()}


def copy_bandwidth(shape, threads, repeat):
    """Bytes per second of a float32 copy (read + write), split into row blocks over `threads`."""
    src = np.ones(shape, np.float32)
    dst = np.empty(shape, np.float32)
    blocks = np.array_split(np.arange(shape[0]), threads * 4)
    pool = ThreadPoolExecutor(threads) if threads > 1 else None

    def copy():
        if pool is None:
            np.copyto(dst, src)
        else:
            list(pool.map(lambda rows: np.copyto(dst[rows[0]:rows[-1] + 1], src[rows[0]:rows[-1] + 1]), blocks))

    _, best = timed(copy, repeat)
    if pool is not None:
        pool.shutdown()
    return 8 * src.size / best


# ---------------------------------------------------------------- workloads

def program(text):
    """'b0 b1 sub 2.5 mul' -> instruction dicts (bK pushes band K, numbers push scalars)."""
    ops = []
    for token in text.split():
        if token[0] == "b" and token[1:].isdigit():
            ops.append({"type": "push_band", "index": int(token[1:])})
        elif token[0].isdigit() or token[0] == "-":
            ops.append({"type": "push_scalar", "value": float(token)})
        else:
            ops.append({"type": token})
    return ops


def reference_program(ops, bands, positions=None):
    """Float32 evaluation of a program, vectorised over whole arrays (pow through the C library's powf,
    so only at `positions`, a tuple of index arrays, when the program has pow)."""
    if positions is not None:
        bands = [b[positions] for b in bands]
    stack = []
    with np.errstate(all="ignore"):
        for op in ops:
            kind = op["type"]
            if kind == "push_band":
                stack.append(bands[op["index"]].astype(F32))
            elif kind == "push_scalar":
                stack.append(F32(op["value"]))
            elif kind in ("neg", "abs", "sqrt"):
                x = np.asarray(stack.pop(), F32)
                bits = x.view(np.uint32)
                stack.append({"neg": lambda: (bits ^ np.uint32(0x80000000)).view(F32),
                              "abs": lambda: (bits & np.uint32(0x7FFFFFFF)).view(F32),
                              "sqrt": lambda: np.sqrt(x)}[kind]())
            else:
                top, below = stack.pop(), stack.pop()
                if kind == "add":
                    stack.append(top + below)
                elif kind == "sub":
                    stack.append(below - top)
                elif kind == "mul":
                    stack.append(top * below)
                elif kind == "div":
                    stack.append(below / (top + EPS))
                else:
                    base, exp = np.broadcast_arrays(np.asarray(below, F32), np.asarray(top, F32))
                    stack.append(np.array([_powf(float(x), float(y)) for x, y in zip(base.ravel(), exp.ravel())],
                                          F32).reshape(base.shape))
    return np.broadcast_to(np.asarray(stack[0], F32), bands[0].shape)


LONG_PROGRAM = program(
    "b0 b1 sub b0 b1 add div abs 0.5 pow b2 1.5 mul b0 sub neg sqrt mul "
    "b1 2 div b2 add 3 pow b0 1 add div add b2 b0 mul -0.25 mul sub"
)

WORKLOADS = {
    # name: (bands used, NumPy expression on float32 arrays, vexlora call, program text, numexpr text)
    "ndvi": (2, lambda a, b: (a - b) / ((a + b) + EPS),
             lambda v, o: vexlora.calculate_normalized_difference_inplace(v[0], v[1], o),
             "b0 b1 sub b0 b1 add div", "(b0 - b1) / (b0 + b1 + eps)"),
    "ratio": (2, lambda a, b: a / (b + EPS),
              lambda v, o: vexlora.calculate_ratio_inplace(v[0], v[1], o),
              "b0 b1 div", "b0 / (b1 + eps)"),
    "savi": (2, lambda a, b: ((a - b) / (((a + b) + F32(0.5)) + EPS)) * F32(1.5),
             lambda v, o: vexlora.calculate_adjusted_difference_inplace(v[0], v[1], 0.5, o),
             "b0 b1 sub b0 b1 add 0.5 add div 1.5 mul", "(b0 - b1) / (b0 + b1 + 0.5 + eps) * 1.5"),
    "evi": (3, lambda n, r, b: ((n - r) / (((((r * F32(6)) + n) - (b * F32(7.5))) + F32(1)) + EPS)) * F32(2.5),
            lambda v, o: vexlora.calculate_evi_inplace(v[0], v[1], v[2], 2.5, 6.0, 7.5, 1.0, o),
            "b0 b1 sub b1 6 mul b0 add b2 7.5 mul sub 1 add div 2.5 mul",
            "(b0 - b1) / (b1 * 6 + b0 - b2 * 7.5 + 1 + eps) * 2.5"),
}


UFUNCS = {"add": np.add, "sub": np.subtract, "mul": np.multiply, "neg": np.negative, "abs": np.absolute,
          "sqrt": np.sqrt}


def numpy_blocked(ops, bands, out, block_elements=1 << 16):
    """NumPy at its best: the program's ufuncs with out= into float32 temporaries reused over blocks
    that stay in cache, cut along the axis in which the arrays are contiguous, in the same order of
    operations as the module (so the result is bit-identical)."""
    axis = 1 if bands[0].flags.f_contiguous and not bands[0].flags.c_contiguous else 0
    other = out.shape[1 - axis]
    step = max(1, block_elements // max(1, other))
    block_shape = (step, other) if axis == 0 else (other, step)
    pool = [np.empty(block_shape, F32, order="F" if axis else "C") for _ in range(len(ops) + len(bands) + 2)]

    def run():
        for start in range(0, out.shape[axis], step):
            stop = min(out.shape[axis], start + step)
            cut = (slice(start, stop), slice(None)) if axis == 0 else (slice(None), slice(start, stop))
            shape = (stop - start, other) if axis == 0 else (other, stop - start)
            free = [t[: shape[0], : shape[1]] for t in pool]
            converted = {}
            stack = []
            for op in ops:
                kind = op["type"]
                if kind == "push_band":
                    k = op["index"]
                    if k not in converted:
                        converted[k] = free.pop()
                        np.copyto(converted[k], bands[k][cut], casting="unsafe")
                    stack.append(converted[k])
                elif kind == "push_scalar":
                    stack.append(F32(op["value"]))
                elif kind in ("neg", "abs", "sqrt"):
                    x = stack.pop()
                    stack.append(UFUNCS[kind](x, out=free.pop()))
                else:
                    top, below = stack.pop(), stack.pop()
                    target = free.pop()
                    if kind == "div":
                        np.add(top, EPS, out=target)
                        np.divide(below, target, out=target)
                    elif kind in ("add", "mul"):
                        UFUNCS[kind](top, below, out=target)
                    else:
                        UFUNCS[kind](below, top, out=target)
                    stack.append(target)
            np.copyto(out[cut], stack[0])

    return run


def make_layout(bands, layout):
    """Bands and an output in the named layout, holding the same logical values."""
    shape = bands[0].shape
    if layout == "C":
        return bands, np.empty(shape, F32)
    if layout == "F":
        return [np.asfortranarray(b) for b in bands], np.empty(shape, F32, order="F")
    if layout == "mixed":  # Fortran-ordered inputs, C-ordered output
        return [np.asfortranarray(b) for b in bands], np.empty(shape, F32)
    if layout == "split":  # the first band Fortran-ordered, the other bands and the output C-ordered
        return [np.asfortranarray(bands[0])] + list(bands[1:]), np.empty(shape, F32)
    if layout == "stepped":  # every other row and column of bigger arrays
        bigger = []
        for b in bands:
            big = np.zeros((2 * shape[0], 2 * shape[1]), np.uint16)
            big[::2, ::2] = b
            bigger.append(big[::2, ::2])
        return bigger, np.empty((2 * shape[0], 2 * shape[1]), F32)[::2, ::2]
    raise ValueError(layout)


# ---------------------------------------------------------------- the run

def bench_size(n, layouts, repeat, bandwidth, rows, rng):
    min_seconds = 0.02 if n <= 256 else 0.0
    base = [rng.integers(0, 65536, (n, n), dtype=np.uint16) for _ in range(3)]
    mpx = n * n / 1e6
    sample = tuple(rng.integers(0, n, size=(2, 4000)))

    def add_row(layout, workload, impl, median, best, identical, bytes_per_px, numpy_best=None):
        bound = bytes_per_px * n * n / bandwidth
        rows.append({
            "size": n, "layout": layout, "workload": workload, "impl": impl,
            "median_ms": median * 1e3, "min_ms": best * 1e3, "mpx_per_s": mpx / best,
            "vs_numpy_best": (numpy_best / best) if numpy_best else None,
            "pct_of_bound": 100 * bound / best, "bit_identical": identical,
        })
        print_row(rows[-1])

    for layout in layouts:
        for name, (count, expr, call, text, ne_text) in WORKLOADS.items():
            bands, out = make_layout(base[:count], layout)
            floats = [b.astype(F32) for b in bands]
            expected = expr(*floats)
            compiled = vexlora.compile_expr(program(text), count)
            # Each implementation writes its own output, checked against `expected` afterwards.
            outputs = {}

            def target(impl):
                outputs[impl] = outputs.get(impl) if impl in outputs else make_layout(base[:count], layout)[1]
                return outputs[impl]

            impls = {
                "numpy": lambda: np.copyto(target("numpy"), expr(*[b.astype(F32) for b in bands])),
                "numpy out= blocks": numpy_blocked(program(text), bands, target("numpy out= blocks")),
            }
            if numexpr is not None:
                local = {f"b{i}": b for i, b in enumerate(bands)} | {"eps": 1e-10}
                local_f = {f"b{i}": b for i, b in enumerate(floats)} | {"eps": F32(1e-10)}
                impls["numexpr uint16"] = lambda: numexpr.evaluate(
                    ne_text, local_dict=local, out=target("numexpr uint16"), casting="unsafe")
                impls["numexpr float32"] = lambda: numexpr.evaluate(
                    ne_text, local_dict=local_f, out=target("numexpr float32"), casting="unsafe")
            impls["vexlora"] = lambda: call(bands, target("vexlora"))
            impls["vexlora program"] = lambda: vexlora.execute_expr_inplace(compiled, bands, target("vexlora program"))
            if name == "ndvi" and layout == layouts[0]:
                impls["vexlora allocating"] = lambda: outputs.__setitem__(
                    "vexlora allocating", vexlora.calculate_normalized_difference(bands[0], bands[1]))
            times = timed_together(impls, repeat, min_seconds)
            np_best = times["numpy out= blocks"][1]
            for impl, (median, best) in times.items():
                identical = bool(np.array_equal(np.ascontiguousarray(outputs[impl]).view(np.uint32),
                                                expected.view(np.uint32)))
                add_row(layout, name, impl, median, best, identical, 2 * count + 4,
                        None if impl == "numpy" else np_best)
            outputs.clear()

        bands, out = make_layout(base, layout)
        compiled = vexlora.compile_expr(LONG_PROGRAM, 3)
        t = timed(lambda: vexlora.execute_expr_inplace(compiled, bands, out), repeat, min_seconds)
        vexlora.execute_expr_inplace(compiled, bands, out)
        expected = reference_program(LONG_PROGRAM, bands, sample)
        identical = bool(np.array_equal(out[sample].view(np.uint32), expected.view(np.uint32)))
        add_row(layout, f"long program ({len(LONG_PROGRAM)} ops)", "vexlora program", *t, identical, 10)


def bench_overhead(repeat, rows):
    """Calls per second on tiny arrays, where only the fixed cost of a call shows."""
    for n in (1, 16):
        a = np.full((n, n), 3, np.uint16)
        b = np.ones((n, n), np.uint16)
        af, bf = a.astype(F32), b.astype(F32)
        out, tmp = np.empty((n, n), F32), np.empty((n, n), F32)
        compiled = vexlora.compile_expr(program(WORKLOADS["ndvi"][3]), 2)

        def numpy_ndvi():
            np.subtract(af, bf, out=tmp)
            np.add(af, bf, out=out)
            np.add(out, EPS, out=out)
            np.divide(tmp, out, out=out)

        cases = {
            "vexlora ndvi": lambda: vexlora.calculate_normalized_difference_inplace(a, b, out),
            "vexlora ndvi program": lambda: vexlora.execute_expr_inplace(compiled, [a, b], out),
            "numpy one ufunc (add)": lambda: np.add(af, bf, out=out),
            "numpy ndvi (4 ufuncs, out=)": numpy_ndvi,
        }
        if numexpr is not None:
            local = {"b0": af, "b1": bf, "eps": F32(1e-10)}
            cases["numexpr ndvi"] = lambda: numexpr.evaluate("(b0 - b1) / (b0 + b1 + eps)", local_dict=local, out=out)
        for impl, fn in cases.items():
            median, best = timed(fn, repeat, min_seconds=0.05)
            rows.append({"size": n, "impl": impl, "median_us": median * 1e6, "min_us": best * 1e6,
                         "calls_per_s": 1 / best})
            print(f"  {n:>2} x {n:<2} {impl:<30} {best * 1e6:8.2f} us  {1 / best:12,.0f} calls/s")


def print_row(r):
    ratio = f"{r['vs_numpy_best']:.1f}x" if r["vs_numpy_best"] else "-"
    print(f"  {r['size']:>5} {r['layout']:<8} {r['workload']:<24} {r['impl']:<20} {r['median_ms']:9.2f} "
          f"{r['min_ms']:9.2f} {r['mpx_per_s']:8.0f} {ratio:>7} {r['pct_of_bound']:6.0f}% "
          f"{'yes' if r['bit_identical'] else 'no'}")


def main():
    parser = argparse.ArgumentParser(description="vexlora benchmark (see the module docstring)")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions (3 timed runs per row instead of 9)")
    parser.add_argument("--large", action="store_true", help="also 8192 x 8192")
    parser.add_argument("--layouts", default="C,F,mixed,stepped",
                        help="comma-separated layouts: C, F, mixed, stepped, and split (bands in both orders)")
    parser.add_argument("--repeat", type=int, default=None, help="timed runs per row")
    parser.add_argument("--json", metavar="FILE", help="write every row as JSON")
    args = parser.parse_args()

    repeat = args.repeat or (3 if args.quick else 9)
    layouts = args.layouts.split(",")
    sizes = [256, 2048] + ([8192] if args.large else [])
    rng = np.random.default_rng(2026)
    info = {"python": sys.version.split()[0], "numpy": np.__version__, "platform": platform.platform(),
            "processor": platform.processor() or platform.machine(), "cpus": THREADS,
            "numexpr": None if numexpr is None else f"{numexpr.__version__} ({numexpr.get_num_threads()} threads)"}
    print("machine:", ", ".join(f"{k} {v}" for k, v in info.items()))
    rows, bandwidth = [], {}
    for n in sizes:
        one = copy_bandwidth((n, n), 1, repeat)
        many = copy_bandwidth((n, n), THREADS, repeat)
        bandwidth[n] = {"one_thread_gb_s": one / 1e9, "threaded_gb_s": many / 1e9}
        print(f"\n{n} x {n}: float32 copy {one / 1e9:.1f} GB/s on one thread, {many / 1e9:.1f} GB/s on {THREADS}")
        print(f"  {'size':>5} {'layout':<8} {'workload':<24} {'impl':<20} {'median ms':>9} {'min ms':>9} "
              f"{'Mpx/s':>8} {'vs np':>7} {'bound':>7} identical")
        bench_size(n, layouts, repeat, max(one, many), rows, rng)
    print("\nper-call overhead")
    overhead = []
    bench_overhead(repeat, overhead)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "bandwidth": bandwidth, "rows": rows, "overhead": overhead}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
