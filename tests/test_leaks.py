"""Leaks: every function, on its success path and on each of its failure paths (binding, conversion,
shape, refused borrows, allocation, compilation, band count, run-time program failures), called
tens of thousands of times, leaves the reference count of every argument unchanged (and of the
objects inside list arguments, and of the dtypes and types the module touches) and does not make
the process grow, measured with tracemalloc, as the C heap in use and as resident memory."""

import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import vexlora
from conftest import panic_type
from expr_reference import parse

# Each call of a case is repeated CALLS times after WARMUP repetitions. A leak of one Python object per
# call shows as at least CALLS x 16 bytes (the smallest object; a float is 24, an array object over
# 100) = 320 kB of traced memory; a leaked C++ block per call as at least CALLS x 32 bytes (glibc's
# smallest chunk) = 640 kB more heap in use. The limits are a fifth of those, and still far above what
# a run without a leak shows (traced: about 100 bytes, 2 kB where a MemoryError is printed; heap: a
# few kB). Resident memory is the coarse gauge: freed memory that is already resident is reused first,
# so only larger leaks (a leaked output array, say) move it, while the allocator's arenas and the
# interpreter's own caches move it by up to a couple of MB (seen: +1.8 MB with +0.3 kB traced). Its
# limit only catches leaks of that size and above; the two counts above catch the small ones.
CALLS, WARMUP = 20_000, 1_000
TRACED_LIMIT = HEAP_LIMIT = 128 * 1024
RSS_LIMIT = 16 * 1024 * 1024
UNDER_ASAN = "libasan" in open("/proc/self/maps").read()  # it replaces malloc and quarantines freed memory
PAGE = os.sysconf("SC_PAGE_SIZE")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t)
                for name in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


LIBC = ctypes.CDLL(None)
if hasattr(LIBC, "mallinfo2"):  # glibc 2.33 and newer
    LIBC.mallinfo2.restype = MallInfo2


def heap_in_use():
    """Bytes the C allocator has handed out and not got back (small blocks plus mmapped ones)."""
    info = LIBC.mallinfo2() if hasattr(LIBC, "mallinfo2") else MallInfo2()
    return info.uordblks + info.hblkhd


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class FloatRaises:
    def __float__(self):
        raise ArithmeticError("no float today")


class ItemRaises:
    def __getitem__(self, key):
        raise LookupError(key)


class IterRaises(list):
    def __iter__(self):
        yield from list.__iter__(self)
        raise TypeError("iteration broke")


A, B, C = (np.full((2, 3), v, np.uint16) for v in (3, 1, 2))
OUT, READ_ONLY, WRONG = np.zeros((2, 3), np.float32), np.zeros((2, 3), np.float32), np.zeros((2, 3))
READ_ONLY.flags.writeable = False
SHARED = np.zeros(6, np.float32)
OVERLAP_BAND = SHARED.view(np.uint16)[:6].reshape(2, 3)  # reads bytes that OVERLAP_OUT writes
OVERLAP_OUT = SHARED.reshape(2, 3)
HUGE = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint16), shape=(1 << 24, 1 << 24), strides=(0, 0))
PANIC = panic_type()
ALREADY, NOT_WRITEABLE = "Err` value: AlreadyBorrowed", "Err` value: NotWriteable"
GOOD = parse("b0 b1 sub b0 b1 add div 2 pow neg abs sqrt b2 mul 0.5 add")
EXPR = vexlora.compile_expr(GOOD, 3)


def call(fn, *args, exc=None, text="", **kwargs):
    return fn, args, kwargs, exc, text


def kernel_cases(name, fn, bands, scalars):
    ok = (*bands, *scalars, OUT)
    cases = {
        "ok": [call(fn, *ok)],
        "binding": [call(fn, *ok, OUT, exc=TypeError, text="positional arguments but"),
                    call(fn, *ok[:-1], exc=TypeError, text="missing 1 required positional argument: 'out_buffer'"),
                    call(fn, *ok[:-1], out_buffer=OUT, Out_buffer=OUT, exc=TypeError, text="unexpected keyword"),
                    call(fn, *ok, out_buffer=OUT, exc=TypeError, text="multiple values for argument 'out_buffer'")],
        "conversion": [call(fn, [[1, 2, 3]] * 2, *ok[1:], exc=TypeError, text="'list' object cannot be converted"),
                       call(fn, *ok[:-1], WRONG, exc=TypeError, text="argument 'out_buffer'")],
        "shape": [call(fn, *bands[:-1], np.zeros((2, 4), np.uint16), *scalars, OUT, exc=ValueError, text="Shape")],
        "not writeable": [call(fn, *bands, *scalars, READ_ONLY, exc=PANIC, text=NOT_WRITEABLE)],
        "already borrowed": [call(fn, *[OVERLAP_BAND] * len(bands), *scalars, OVERLAP_OUT, exc=PANIC, text=ALREADY)],
    }
    if scalars:
        cases["conversion"] += [call(fn, *bands, *scalars[:-1], "0.5", OUT, exc=TypeError, text="argument 'l'"),
                                call(fn, *bands, *scalars[:-1], FloatRaises(), OUT, exc=ArithmeticError),
                                call(fn, *bands, *scalars[:-1], 10**400, OUT, exc=OverflowError)]
    return {(name, path): calls for path, calls in cases.items()}


nd, compile_expr, execute = vexlora.calculate_normalized_difference, vexlora.compile_expr, vexlora.execute_expr_inplace
CASES = {
    **kernel_cases("normalized_difference_inplace", vexlora.calculate_normalized_difference_inplace, (A, B), ()),
    **kernel_cases("ratio", vexlora.calculate_ratio_inplace, (A, B), ()),
    **kernel_cases("adjusted_difference", vexlora.calculate_adjusted_difference_inplace, (A, B), (0.5,)),
    **kernel_cases("evi", vexlora.calculate_evi_inplace, (A, B, C), (2.5, 6.0, 7.5, 1.0)),
    ("normalized_difference", "ok"): [call(nd, A, B)],
    ("normalized_difference", "binding"): [call(nd, A, B, B, exc=TypeError), call(nd, band_b=B, exc=TypeError)],
    ("normalized_difference", "conversion"): [call(nd, A, WRONG, exc=TypeError, text="argument 'band_b'")],
    ("normalized_difference", "shape"): [call(nd, A, np.zeros((3, 3), np.uint16), exc=ValueError, text="Shape")],
    ("normalized_difference", "allocation"): [call(nd, HUGE, HUGE, exc=PANIC, text="Python API call failed")],
    ("compile_expr", "ok"): [call(compile_expr, GOOD, 3)],
    ("compile_expr", "binding"): [call(compile_expr, GOOD, exc=TypeError),
                                  call(compile_expr, GOOD, 3, bands=3, exc=TypeError)],
    ("compile_expr", "conversion"): [
        call(compile_expr, "add", 3, exc=TypeError, text="Can't extract `str` to `Vec`"),
        call(compile_expr, {"type": "add"}, 3, exc=TypeError, text="cannot be converted to 'Sequence'"),
        call(compile_expr, IterRaises(GOOD), 3, exc=TypeError, text="argument 'instructions': iteration broke"),
        call(compile_expr, GOOD, -1, exc=OverflowError),
        call(compile_expr, GOOD, 1.5, exc=TypeError, text="argument 'num_bands'")],
    ("compile_expr", "instruction"): [
        call(compile_expr, GOOD + [{"tipe": "add"}], 3, exc=KeyError),
        call(compile_expr, GOOD + [{"type": 7}], 3, exc=TypeError, text="cannot be converted to 'PyString'"),
        call(compile_expr, GOOD + [{"type": "push_bands"}], 3, exc=ValueError, text="Unknown op: push_bands"),
        call(compile_expr, GOOD + [{"type": "push_band", "index": -1}], 3, exc=OverflowError),
        call(compile_expr, GOOD + [{"type": "push_scalar", "value": "1"}], 3, exc=TypeError),
        call(compile_expr, GOOD + [ItemRaises()], 3, exc=LookupError)],
    ("execute_expr_inplace", "ok"): [call(execute, EXPR, [A, B, C], OUT)],
    ("execute_expr_inplace", "binding"): [call(execute, EXPR, [A, B, C], exc=TypeError),
                                          call(execute, EXPR, [A, B, C], OUT, OUT, exc=TypeError)],
    ("execute_expr_inplace", "conversion"): [
        call(execute, GOOD, [A, B, C], OUT, exc=TypeError, text="cannot be converted to 'CompiledExpr'"),
        call(execute, EXPR, "abc", OUT, exc=TypeError, text="Can't extract `str` to `Vec`"),
        call(execute, EXPR, [A, WRONG, C], OUT, exc=TypeError, text="argument 'bands'"),
        call(execute, EXPR, IterRaises([A, B, C]), OUT, exc=TypeError, text="argument 'bands': iteration broke"),
        call(execute, EXPR, [A, B, C], WRONG, exc=TypeError, text="argument 'out_buffer'")],
    ("execute_expr_inplace", "band count"): [call(execute, EXPR, [A, B], OUT, exc=ValueError, text="Band count")],
    ("execute_expr_inplace", "not writeable"): [
        call(execute, EXPR, [A, B, C], READ_ONLY, exc=PANIC, text=NOT_WRITEABLE)],
    ("execute_expr_inplace", "already borrowed"): [
        call(execute, EXPR, [A, OVERLAP_BAND, C], OVERLAP_OUT, exc=PANIC, text=ALREADY)],
    ("execute_expr_inplace", "run time"): [
        call(execute, compile_expr(parse("add"), 0), [], OUT, exc=PANIC, text="the index is 18446744073709551615"),
        call(execute, compile_expr(parse("1 " * 65), 0), [], OUT, exc=PANIC, text="the len is 64 but the index is 64"),
        call(execute, compile_expr(parse("b3"), 3), [A, B, C], OUT, exc=PANIC, text="the len is 3 but the index is 3"),
        call(execute, EXPR, [A, np.zeros((1, 3), np.uint16), C], OUT, exc=PANIC, text="ndarray: index out of bounds")],
}


def watched(calls):
    """Every argument, what lists, tuples and dicts inside them hold, and the module's own types."""
    seen, todo = {}, [obj for fn, args, kwargs, _, _ in calls for obj in (*args, *kwargs.values())]
    while todo:
        obj = todo.pop()
        if id(obj) not in seen:
            seen[id(obj)] = obj
            todo += obj.values() if isinstance(obj, dict) else list.__iter__(obj) if isinstance(obj, list) else \
                obj if isinstance(obj, tuple) else ()
    return [*seen.values(), np.dtype(np.uint16), np.dtype(np.float32), np.ndarray, PANIC, vexlora.CompiledExpr]


def interpreter_wide(obj):
    """Small ints, interned text and the like: the interpreter moves their counts a little by itself."""
    return obj is None or isinstance(obj, (bool, int, str)) and sys.getrefcount(obj) > 1000


def repeat(calls, times):
    for fn, args, kwargs, exc, _ in calls:
        for _ in range(times):
            try:
                fn(*args, **kwargs)
            except exc or ():
                pass


@pytest.mark.parametrize("calls", CASES.values(), ids=[f"{fn}-{path}" for fn, path in CASES])
def test_no_leak(calls):
    if UNDER_ASAN and calls[0][1][0] is HUGE and "may_return_null=1" not in os.environ.get("ASAN_OPTIONS", ""):
        pytest.skip("the sanitizer aborts on the huge allocation unless allocator_may_return_null=1")
    for fn, args, kwargs, exc, text in calls:  # each call takes the path it is meant to
        if exc is None:
            fn(*args, **kwargs)
        else:
            with pytest.raises(exc) as info:
                fn(*args, **kwargs)
            assert type(info.value) is exc and text in str(info.value)
    objects = watched(calls)
    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    if not UNDER_ASAN:  # drop the diagnostic each PanicException writes (but not a sanitizer's report)
        os.dup2(devnull, 2)
    tracemalloc.start()
    try:
        repeat(calls, WARMUP)
        gc.collect()
        counts = [sys.getrefcount(o) for o in objects]
        before = tracemalloc.get_traced_memory()[0], heap_in_use(), resident()
        repeat(calls, CALLS)
        gc.collect()
        now = tracemalloc.get_traced_memory()[0], heap_in_use(), resident()
        traced, heap, rss = (b - a for a, b in zip(before, now))
    finally:
        tracemalloc.stop()
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
    after = [sys.getrefcount(o) for o in objects]
    print(f"\n{len(calls)} x {CALLS} calls: traced {traced:+d} B, heap {heap:+d} B, resident {rss:+d} B")
    moved = [(o, n, m) for o, n, m in zip(objects, counts, after) if n != m]
    assert [(o, n, m) for o, n, m in moved if not (interpreter_wide(o) and abs(m - n) < 100)] == []
    assert traced < TRACED_LIMIT
    if not UNDER_ASAN:
        assert heap < HEAP_LIMIT
        assert rss < RSS_LIMIT
