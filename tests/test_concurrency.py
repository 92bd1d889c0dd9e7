"""Threads and processes: concurrent calls share the pool, contention for an output is refused with
AlreadyBorrowed and leaves nothing behind, the interpreter lock is released, and forked children compute."""

import multiprocessing
import subprocess
import sys
import textwrap
import os
import threading
import time
import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided, sliding_window_view

import vexlora
from conftest import assert_bits_equal, panic_type, random_band, ref_evi, ref_normalized_difference

# A program slow enough (many powf calls per element) to hold its borrows for a noticeable time.
SLOW_PROGRAM = [{"type": "push_band", "index": 0}] + [
    op for _ in range(160) for op in ({"type": "push_scalar", "value": 1.0001}, {"type": "pow"})
]


def run_slow(band, out):
    vexlora.execute_expr_inplace(vexlora.compile_expr(SLOW_PROGRAM, 1), [band], out)


def test_many_threads_on_private_arrays(rng):
    shapes = [(1, 1), (17, 33), (300, 301), (1000, 700)]
    jobs = []
    for i in range(16):
        shape = shapes[i % len(shapes)]
        bands = [random_band(rng, shape) for _ in range(3)]
        jobs.append((bands, np.empty(shape, np.float32), ref_evi(*bands, 2.5, 6.0, 7.5, 1.0)))
    errors = []

    def worker(bands, out, expected):
        try:
            for _ in range(5):
                out[...] = np.nan
                vexlora.calculate_evi_inplace(*bands, 2.5, 6.0, 7.5, 1.0, out)
                assert_bits_equal(out, expected)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert errors == []


def refusals_during_long_call(band, long_output, call):
    """Runs `call` while another thread's long call holds `long_output`; the refusals it met.
    Retried a few times only in case the long call finished before the second one began."""
    refused = []
    for _ in range(5):
        started = threading.Event()

        def long_call():
            started.set()
            run_slow(band, long_output)

        t = threading.Thread(target=long_call)
        t.start()
        started.wait()
        time.sleep(0.005)
        try:
            call()
        except panic_type() as exc:
            refused.append(str(exc))
        t.join()
        if refused:
            break
    return refused


def test_contention_for_one_output_is_refused_then_clears(rng):
    band = random_band(rng, (512, 512))
    shared_out = np.zeros((512, 512), np.float32)
    refused = refusals_during_long_call(
        band, shared_out, lambda: vexlora.calculate_normalized_difference_inplace(band, band, shared_out))
    assert refused == ["called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"]
    # once the first call has returned, the same call succeeds
    vexlora.calculate_normalized_difference_inplace(band, band, shared_out)
    assert_bits_equal(shared_out, ref_normalized_difference(band, band))


def test_reading_an_array_that_another_call_writes_is_refused(rng):
    band = random_band(rng, (512, 512))
    target = np.zeros((512, 512), np.float32)
    as_band = target.view(np.uint16)[:, ::2]
    refused = refusals_during_long_call(
        band, target, lambda: vexlora.calculate_ratio_inplace(as_band, band, np.zeros((512, 512), np.float32)))
    assert refused == ["called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"]


def test_views_through_stride_tricks_and_memoryviews_are_seen_as_their_arrays_memory(rng):
    """as_strided and sliding_window_view put a wrapper between the view and the array, and
    np.asarray(memoryview(x)) a memoryview of x: such views still count as x's memory."""
    band = random_band(rng, (512, 512))
    target = np.zeros((512, 512), np.float32)
    refused = refusals_during_long_call(
        band, as_strided(target), lambda: vexlora.calculate_ratio_inplace(
            target.view(np.uint16)[:, ::2], band, np.zeros((512, 512), np.float32)))
    assert refused == ["called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"]
    small = random_band(rng, (4, 8))
    own = small.view(np.float32)
    for out in [as_strided(own), np.asarray(memoryview(own)), as_strided(np.asarray(memoryview(own))),
                sliding_window_view(own, (1, 1), writeable=True)[:, :, 0, 0]]:
        with pytest.raises(panic_type(), match="AlreadyBorrowed$"):
            vexlora.calculate_ratio_inplace(small[:, :4], small[:, 4:], out)
    foreign = bytearray(64)  # memory no array owns: arrays over it made through different objects are apart
    vexlora.calculate_ratio_inplace(np.frombuffer(foreign, np.uint16).reshape(4, 8)[:, :4], small[:, :4],
                                    np.asarray(memoryview(foreign)).view(np.float32).reshape(4, 4))


def test_pixel_loops_release_the_interpreter_lock(rng):
    band = random_band(rng, (512, 512))
    out = np.zeros((512, 512), np.float32)
    ticks, done = [0], threading.Event()

    def counter():
        while not done.is_set():
            ticks[0] += 1

    t = threading.Thread(target=counter)
    t.start()
    try:
        time.sleep(0.01)
        before = ticks[0]
        run_slow(band, out)
        during = ticks[0] - before
    finally:
        done.set()
        t.join()
    assert during > 1000  # the counter thread kept running while the call computed


def _child_compute(conn, a, b):
    out = np.empty(a.shape, np.float32)
    vexlora.calculate_normalized_difference_inplace(a, b, out)
    conn.send(out)
    conn.close()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_computes_while_parent_thread_is_busy(rng):
    a, b = random_band(rng, (1500, 1100)), random_band(rng, (1500, 1100))
    expected = ref_normalized_difference(a, b)
    busy_out = np.zeros((512, 512), np.float32)
    busy = threading.Thread(target=run_slow, args=(random_band(rng, (512, 512)), busy_out))
    busy.start()  # the fork happens while this thread is inside a pixel loop
    try:
        context = multiprocessing.get_context("fork")
        parent_conn, child_conn = context.Pipe()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # Python 3.12+ warns about fork with threads
            process = context.Process(target=_child_compute, args=(child_conn, a, b))
            process.start()
        assert parent_conn.poll(60)
        assert_bits_equal(parent_conn.recv(), expected)
        process.join(60)
        assert process.exitcode == 0
    finally:
        busy.join()


def test_interpreter_exit_while_daemon_threads_compute():
    """Daemon threads inside calls when the interpreter exits: the process ends cleanly."""
    code = textwrap.dedent(
        """
        import threading, time
        import numpy as np
        import vexlora
        expr = vexlora.compile_expr([{"type": "push_band", "index": 0}, {"type": "sqrt"}], 1)

        def loop(value):
            band = np.full((300, 300), value, np.uint16)
            out = np.empty((300, 300), np.float32)
            while True:
                vexlora.calculate_normalized_difference_inplace(band, band, out)
                vexlora.execute_expr_inplace(expr, [band], out)

        for value in range(3):
            threading.Thread(target=loop, args=(value,), daemon=True).start()
        time.sleep(0.3)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(vexlora.__file__))
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr[-2000:]


def test_interpreter_exit_while_daemon_threads_wait_for_the_lock_inside_a_call():
    """Daemon threads that wait for the interpreter lock inside a call when the interpreter exits
    (NumPy released it to allocate the new array; a scalar's __float__ sleeps) are ended by
    pthread_exit: its unwinding must pass through the module, not abort the process."""
    code = textwrap.dedent(
        """
        import threading, time
        import numpy as np
        import vexlora
        big = np.ones((1024, 1024), np.uint16)
        small = np.ones((4, 4), np.uint16)

        class Slow:
            def __float__(self):
                time.sleep(0.0005)
                return 0.5

        def allocate():
            while True:
                vexlora.calculate_normalized_difference(big, big)

        def hooked(out):
            while True:
                vexlora.calculate_adjusted_difference_inplace(small, small, Slow(), out)

        for _ in range(2):
            threading.Thread(target=allocate, daemon=True).start()
            threading.Thread(target=hooked, args=(np.zeros((4, 4), np.float32),), daemon=True).start()
        time.sleep(0.3)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(vexlora.__file__))
    for _ in range(4):
        result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr[-2000:]


# The sanitizers' runtimes keep memory of their own for every thread.
SANITIZED = any(name in open("/proc/self/maps").read() for name in ("libasan", "libtsan"))


@pytest.mark.skipif(SANITIZED, reason="a sanitizer's runtime adds its own memory per thread")
def test_threads_that_each_make_one_small_call_keep_little_memory():
    """A thread's first call does not take pixel-loop working memory that stays with the thread: 200
    threads alive at once after one 1 x 1 kernel call and one program call each add a few MB of
    resident memory, not the 1.7 MB per thread of a private scratch block (about 340 MB)."""
    code = textwrap.dedent(
        """
        import os, threading
        import numpy as np
        import vexlora
        band = np.ones((1, 1), np.uint16)
        expr = vexlora.compile_expr([{"type": "push_band", "index": 0}, {"type": "sqrt"}], 1)

        def call():
            out = np.zeros((1, 1), np.float32)  # each thread its own: a shared output is refused
            vexlora.calculate_normalized_difference_inplace(band, band, out)
            vexlora.execute_expr_inplace(expr, [band], out)

        def resident():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        threads = 200
        done, leave = threading.Barrier(threads + 1, timeout=60), threading.Event()

        def worker():
            call()
            done.wait()
            leave.wait()

        for t in [threading.Thread(target=call) for _ in range(4)]:  # the pool, warm
            t.start(); t.join()
        before = resident()
        pool = [threading.Thread(target=worker) for _ in range(threads)]
        for t in pool:
            t.start()
        done.wait()
        print(resident() - before)
        leave.set()
        for t in pool:
            t.join()
        """
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(vexlora.__file__))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    grown = int(result.stdout)
    print(f"\n200 threads, one 1 x 1 call each: resident {grown / 2**20:+.1f} MB")
    assert grown < 48 * 2**20
