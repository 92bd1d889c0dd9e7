"""Concurrency stress: many Python threads call all seven vexlora functions at once, on private
arrays and on deliberately shared ones, and every result is checked bit for bit.

    PYTHONPATH=build python3 bench/stress.py --threads 16 --seconds 60

tests/test_stress.py runs the same workload for a bounded number of rounds.

What a call may do depends on what it touches:

* private arrays, disjoint views of one base array (blocks of rows, interleaved columns) and inputs
  that nobody writes: it must succeed and give the reference bits;
* a shared output, or a band that views a shared output's memory: it either succeeds with the
  reference bits or is refused with exactly the AlreadyBorrowed PanicException.

Shared outputs are only ever written with one set of values (the normalized difference through three
different functions, the EVI with fixed scalars, a long band-math program), so any successful write
leaves the same bits, and checking an output after one's own call is valid whatever other threads did
in between. A band that views the EVI output sees either its initial zeros or its final bits: the
write borrow keeps every read off that memory while it is written, so a result matching neither
reference means a read overlapped a write.

At the end every array must accept a write borrow again (no borrow left behind), and a watchdog
ends the process with all tracebacks if the threads hang.
"""

import argparse
import faulthandler
import os
import sys
import threading
import time
from collections import Counter
from dataclasses import dataclass, field

import numpy as np

import vexlora

ALREADY = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
EPS = np.array([0x2EDBE6FF], np.uint32).view(np.float32)[0]  # float32 nearest to 1e-10
EVI = (2.5, 6.0, 7.5, 1.0)

ND_PROGRAM = "b0 b1 sub b0 b1 add div"  # bit-identical to the normalized difference kernel
MIX_PROGRAM = "b0 b1 mul sqrt b2 neg add abs b1 div 0.5 mul"
SLOW_PROGRAM = "b0" + " b1 add 0.75 mul sqrt" * 60  # holds its borrows for a while


def panic_type():
    """PanicException is not a module attribute: take it from a refused borrow."""
    out = np.zeros((1, 1), np.float32)
    out.flags.writeable = False
    try:
        vexlora.calculate_ratio_inplace(np.zeros((1, 1), np.uint16), np.zeros((1, 1), np.uint16), out)
    except BaseException as exc:  # noqa: BLE001 - the type is what we are after
        return type(exc)
    raise AssertionError("a read-only output was accepted")


# --- float32 references, in the module's order of operations -------------------------------------


def f32(x):
    return np.asarray(x).astype(np.float32)


def ref_nd(a, b):
    a, b = f32(a), f32(b)
    return (a - b) / ((a + b) + EPS)


def ref_ratio(a, b):
    return f32(a) / (f32(b) + EPS)


def ref_adjusted(a, b, l):
    a, b, l = f32(a), f32(b), np.float32(l)
    return ((a - b) / (((a + b) + l) + EPS)) * (np.float32(1.0) + l)


def ref_evi(n, r, b, g, c1, c2, l):
    n, r, b = f32(n), f32(r), f32(b)
    g, c1, c2, l = (np.float32(x) for x in (g, c1, c2, l))
    return ((n - r) / (((((r * c1) + n) - (b * c2)) + l) + EPS)) * g


BINARY = {"add": np.add, "sub": np.subtract, "mul": np.multiply, "div": lambda x, y: x / (y + EPS)}
UNARY = {"neg": np.negative, "abs": np.abs, "sqrt": np.sqrt}


def postfix(text):
    """'b0 2 add' -> instruction dicts: bK pushes band K, a number pushes a scalar, a name is an op."""
    ops = {*BINARY, *UNARY, "pow"}
    return [{"type": "push_band", "index": int(t[1:])} if t[0] == "b" else {"type": t} if t in ops
            else {"type": "push_scalar", "value": float(t)} for t in text.split()]


def ref_program(text, bands):
    """Whole-array float32 evaluation of a well-formed program without pow."""
    stack = []
    for t in text.split():
        if t[0] == "b":
            stack.append(f32(bands[int(t[1:])]))
        elif t in BINARY:
            top = stack.pop()
            stack[-1] = BINARY[t](stack[-1], top)
        elif t in UNARY:
            stack[-1] = UNARY[t](stack[-1])
        else:
            stack.append(np.float32(t))
    return stack[0]


def same_bits(actual, expected):
    return np.array_equal(f32(actual).view(np.uint32), f32(expected).view(np.uint32))


def probe(arr):
    """A 1 x 1 float32 output over the first bytes of arr, in arr's base array. Its write borrow is
    refused while any borrow of arr is registered (same base, overlapping bytes, data pointers a
    multiple of the common stride divisor apart), so writing it proves that arr is free."""
    root = arr
    while isinstance(root.base, np.ndarray):
        root = root.base
    flat = root.ravel(order="K").view(np.uint8)
    assert np.shares_memory(flat, root)
    offset = arr.__array_interface__["data"][0] - flat.__array_interface__["data"][0]
    assert 0 <= offset <= flat.size - 4, "no room for a probe: give the array a padded base"
    return flat[offset:offset + 4].view(np.float32).reshape(1, 1)


def padded(values):
    """A copy of a uint16 band whose base array has room for a probe after its last element."""
    base = np.zeros(values.size + 2, np.uint16)
    band = base[:values.size].reshape(values.shape)
    band[...] = values
    return band


def assert_free(arrays):
    zero = np.zeros((1, 1), np.uint16)
    for arr in arrays:
        if arr.size:
            vexlora.calculate_normalized_difference_inplace(zero, zero, probe(arr))


# --- the workload ---------------------------------------------------------------------------------

PRIVATE_SHAPES = [(1, 1), (1, 513), (301, 1), (37, 91), (96, 160), (0, 5), (128, 200), (7, 0)]


@dataclass
class Private:
    bands: list
    out: np.ndarray
    l: float
    refs: dict = field(default_factory=dict)


@dataclass
class Report:
    failures: list
    ok: Counter
    refused: Counter
    rounds: int


class Workload:
    def __init__(self, threads, shape=(96, 160), seed=2026):
        rng = np.random.default_rng(seed)
        rows, cols = shape
        self.threads = threads
        self.inputs = [rng.integers(0, 65536, shape, dtype=np.uint16) for _ in range(3)]  # never written
        s0, s1, s2 = self.inputs
        self.ref = {"nd": ref_nd(s0, s1), "ratio": ref_ratio(s0, s1), "evi": ref_evi(s0, s1, s2, *EVI),
                    "mix": ref_program(MIX_PROGRAM, self.inputs), "slow": ref_program(SLOW_PROGRAM, [s0, s1])}
        self.exprs = {name: vexlora.compile_expr(postfix(text), n)
                      for name, text, n in [("nd", ND_PROGRAM, 2), ("mix", MIX_PROGRAM, 3), ("slow", SLOW_PROGRAM, 2)]}
        # shared outputs, each only ever written with one set of values
        self.shared_nd = np.full(shape, np.nan, np.float32)
        self.shared_slow = np.full(shape, np.nan, np.float32)
        self.x = np.zeros(shape, np.float32)
        self.x_band = self.x.view(np.uint16)[:, ::2]  # low halves of the EVI output, read as a band
        x_states = [np.zeros(shape, np.uint16), self.ref["evi"].view(np.uint16)[:, ::2]]
        self.x_refs = {"ratio": [ref_ratio(x, s1) for x in x_states],
                       "mix": [ref_program(MIX_PROGRAM, [x, s1, s2]) for x in x_states]}
        # one base array each, one disjoint view per thread
        self.row_blocks = np.full((threads * rows, cols), np.nan, np.float32)
        self.interleaved = np.full((rows, threads * cols), np.nan, np.float32)
        self.private = [self._private(rng, t) for t in range(threads)]
        self.tasks = [  # (name, may be refused, function of (thread, rng))
            ("nd private", False, self.nd_private), ("ratio private", False, self.ratio_private),
            ("adjusted private", False, self.adjusted_private), ("evi private", False, self.evi_private),
            ("allocating nd private", False, self.allocating_private),
            ("compile+execute private", False, self.execute_private),
            ("ratio into row block", False, self.ratio_row_block),
            ("execute into interleaved columns", False, self.execute_columns),
            ("nd shared", True, self.nd_shared), ("slow program shared", True, self.slow_shared),
            ("evi shared", True, self.evi_shared), ("ratio of shared output", True, self.ratio_of_x),
            ("execute on shared output", True, self.execute_on_x),
        ]

    def _private(self, rng, t):
        shape = PRIVATE_SHAPES[t % len(PRIVATE_SHAPES)]
        refs_from = [rng.integers(0, 65536, shape, dtype=np.uint16) for _ in range(3)]
        layout = t % 3
        if layout == 0:
            bands = [padded(b) for b in refs_from]
        elif layout == 1:
            bands = [padded(b.T).T for b in refs_from]  # column-major
        else:
            bands = [padded(b[::-1, ::-1])[::-1, ::-1] for b in refs_from]  # negative strides
        p = Private(bands, np.full(shape, np.nan, np.float32, order="F" if layout == 1 else "C"), 0.5 - t / 7)
        a, b, c = refs_from
        p.refs = {"nd": ref_nd(a, b), "ratio": ref_ratio(a, b), "adjusted": ref_adjusted(a, b, p.l),
                  "evi": ref_evi(a, b, c, *EVI), "mix": ref_program(MIX_PROGRAM, refs_from)}
        return p

    def row_block(self, t):
        rows = self.inputs[0].shape[0]
        return self.row_blocks[t * rows:(t + 1) * rows]

    def column_view(self, t):
        return self.interleaved[:, t::self.threads]

    @staticmethod
    def check(out, *refs):
        assert any(same_bits(out, ref) for ref in refs), "result matches no reference"

    def fresh(self, t):
        """Thread t's private arrays, its output set to NaN so that a call writing nothing shows."""
        p = self.private[t]
        p.out[...] = np.nan
        return p

    # calls that must succeed
    def nd_private(self, t, rng):
        p = self.fresh(t)
        vexlora.calculate_normalized_difference_inplace(p.bands[0], p.bands[1], p.out)
        self.check(p.out, p.refs["nd"])

    def ratio_private(self, t, rng):
        p = self.fresh(t)
        vexlora.calculate_ratio_inplace(p.bands[0], p.bands[1], p.out)
        self.check(p.out, p.refs["ratio"])

    def adjusted_private(self, t, rng):
        p = self.fresh(t)
        vexlora.calculate_adjusted_difference_inplace(p.bands[0], p.bands[1], p.l, p.out)
        self.check(p.out, p.refs["adjusted"])

    def evi_private(self, t, rng):
        p = self.fresh(t)
        vexlora.calculate_evi_inplace(*p.bands, *EVI, p.out)
        self.check(p.out, p.refs["evi"])

    def allocating_private(self, t, rng):
        p = self.fresh(t)
        self.check(vexlora.calculate_normalized_difference(p.bands[0], p.bands[1]), p.refs["nd"])

    def execute_private(self, t, rng):
        p = self.fresh(t)
        vexlora.execute_expr_inplace(vexlora.compile_expr(postfix(MIX_PROGRAM), 3), p.bands, p.out)
        self.check(p.out, p.refs["mix"])

    def ratio_row_block(self, t, rng):
        out = self.row_block(t)
        out[...] = np.nan
        vexlora.calculate_ratio_inplace(self.inputs[0], self.inputs[1], out)
        self.check(out, self.ref["ratio"])

    def execute_columns(self, t, rng):
        out = self.column_view(t)
        out[...] = np.nan
        vexlora.execute_expr_inplace(self.exprs["mix"], self.inputs, out)
        self.check(out, self.ref["mix"])

    # calls that may be refused
    def nd_shared(self, t, rng):
        s0, s1 = self.inputs[:2]
        how = rng.integers(3)
        if how == 0:
            vexlora.calculate_normalized_difference_inplace(s0, s1, self.shared_nd)
        elif how == 1:
            vexlora.calculate_adjusted_difference_inplace(s0, s1, 0.0, self.shared_nd)
        else:
            vexlora.execute_expr_inplace(self.exprs["nd"], [s0, s1], self.shared_nd)
        self.check(self.shared_nd, self.ref["nd"])

    def slow_shared(self, t, rng):
        expr = self.exprs["slow"] if rng.random() < 0.5 else vexlora.compile_expr(postfix(SLOW_PROGRAM), 2)
        vexlora.execute_expr_inplace(expr, self.inputs[:2], self.shared_slow)
        self.check(self.shared_slow, self.ref["slow"])

    def evi_shared(self, t, rng):
        vexlora.calculate_evi_inplace(*self.inputs, *EVI, self.x)
        self.check(self.x, self.ref["evi"])

    def ratio_of_x(self, t, rng):
        out = self.row_block(t)
        out[...] = np.nan
        vexlora.calculate_ratio_inplace(self.x_band, self.inputs[1], out)
        self.check(out, *self.x_refs["ratio"])

    def execute_on_x(self, t, rng):
        out = self.column_view(t)
        out[...] = np.nan
        vexlora.execute_expr_inplace(self.exprs["mix"], [self.x_band, *self.inputs[1:]], out)
        self.check(out, *self.x_refs["mix"])

    def all_arrays(self):
        arrays = [*self.inputs, self.shared_nd, self.shared_slow, self.x, self.x_band, self.row_blocks,
                  self.interleaved]
        for p in self.private:
            arrays += [*p.bands, p.out]
        return arrays


def run(threads=16, rounds=None, seconds=None, timeout=300.0, trace_file=None):
    """Run the workload; each thread does `rounds` passes over all tasks (in its own random order) or
    keeps going for `seconds`. Returns a Report; failures is empty when everything held. If the
    threads are still running after `timeout` seconds that is a failure; if the process cannot even
    get that far (a thread stuck holding the interpreter lock), the watchdog writes every thread's
    traceback to trace_file (default stderr) a minute later and ends the process."""
    work = Workload(threads)
    failures, done = [], [0] * threads
    ok, refused = [Counter() for _ in range(threads)], [Counter() for _ in range(threads)]
    deadline = None if seconds is None else time.monotonic() + seconds
    panic = panic_type()

    def worker(t):
        rng = np.random.default_rng(100 + t)
        while (rounds is None or done[t] < rounds) and (deadline is None or time.monotonic() < deadline):
            for k in rng.permutation(len(work.tasks)):
                name, may_be_refused, task = work.tasks[k]
                try:
                    task(t, rng)
                except BaseException as exc:  # noqa: BLE001 - every outcome is classified
                    if may_be_refused and type(exc) is panic and str(exc) == ALREADY:
                        refused[t][name] += 1
                        continue
                    failures.append(f"thread {t}, {name}: {type(exc).__name__}: {exc}")
                    return
                ok[t][name] += 1
            done[t] += 1

    pool = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(threads)]
    faulthandler.dump_traceback_later(timeout + 60, exit=True, file=trace_file or sys.stderr)
    try:
        end = time.monotonic() + timeout
        for thread in pool:
            thread.start()
        for thread in pool:
            thread.join(max(0.0, end - time.monotonic()))
        hung = sum(thread.is_alive() for thread in pool)
    finally:
        faulthandler.cancel_dump_traceback_later()
    if hung:
        failures.append(f"{hung} threads still running after {timeout} s")
    else:
        try:
            assert_free(work.all_arrays())
        except BaseException as exc:  # noqa: BLE001
            failures.append(f"an array stayed borrowed: {type(exc).__name__}: {exc}")
    return Report(failures, sum(ok, Counter()), sum(refused, Counter()), min(done))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=16, help="Python threads calling the module (default 16)")
    parser.add_argument("--seconds", type=float, default=30.0, help="how long each thread keeps going (default 30)")
    parser.add_argument("--timeout", type=float, default=None, help="watchdog (default: seconds + 120)")
    parser.add_argument("--show-panics", action="store_true", help="keep the stderr diagnostic of each refusal")
    args = parser.parse_args()
    saved = os.dup(2)
    trace = os.fdopen(os.dup(2), "w")
    if not args.show_panics:  # one diagnostic line per refused borrow; keep the terminal readable
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        os.close(devnull)
    try:
        report = run(args.threads, seconds=args.seconds, timeout=args.timeout or args.seconds + 120, trace_file=trace)
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        trace.close()
    width = max(map(len, report.ok | report.refused), default=0)
    print(f"{args.threads} threads, {args.seconds:g} s, at least {report.rounds} rounds per thread")
    for name in sorted(set(report.ok) | set(report.refused)):
        print(f"  {name:<{width}}  {report.ok[name]:>8} ok  {report.refused[name]:>8} refused")
    for line in report.failures:
        print("FAIL", line)
    return 1 if report.failures else 0


if __name__ == "__main__":
    sys.exit(main())
