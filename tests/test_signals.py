"""Fork and interrupts. A process forked while another thread is inside a pixel loop computes the
right bits, can use the arrays that were borrowed at the moment of the fork, and can fork again.
SIGINT during a long call, sent to the process from inside or from outside, becomes a
KeyboardInterrupt once the call has returned with its result complete; SIGINT aimed straight at
the pool's threads neither ends the process nor cuts the call short."""

import os
import platform
import select
import signal
import subprocess
import sys
import threading
import time
import traceback

import numpy as np
import pytest

import vexlora
from conftest import assert_bits_equal, panic_type, random_band, ref_normalized_difference, ref_ratio
from expr_reference import evaluate
from test_concurrency import SLOW_PROGRAM

pytestmark = [pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork"),
              pytest.mark.filterwarnings("ignore:.*fork:DeprecationWarning")]
ZERO = np.zeros((1, 1), np.uint16)


def held(out):
    """True while a call holds a borrow of `out`: a write of its first element is refused."""
    try:
        vexlora.calculate_normalized_difference_inplace(ZERO, ZERO, out[:1, :1])
    except panic_type():
        return True
    return False


def slow_call(band, out, started):
    expr = vexlora.compile_expr(SLOW_PROGRAM, 1)
    started.set()
    vexlora.execute_expr_inplace(expr, [band], out)


def wait_until_running(started, out, thread=None):
    """Return once the slow call that set `started` is inside its pixel loop. The probe's own borrow
    would refuse a call that starts at that very moment, hence the head start."""
    started.wait(60)
    time.sleep(0.05)
    while not held(out):
        assert thread is None or thread.is_alive(), "the slow call ended before it was seen running"


def start_slow(band, out):
    started = threading.Event()
    thread = threading.Thread(target=slow_call, args=(band, out, started))
    thread.start()
    wait_until_running(started, out, thread)
    return thread


def fork(work):
    """Fork; the child runs work() and writes "ok" or its traceback to the returned pipe."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child never returns into the test runner
        try:
            report = work() or "ok"
        except BaseException:  # noqa: BLE001 - reported to the parent
            report = traceback.format_exc()
        os.write(write_end, report.encode())
        os._exit(0)
    os.close(write_end)
    return pid, read_end


def reap(pid, read_end, timeout=60):
    """The child's report; a child still running after `timeout` is killed (faulthandler cannot
    guard forked children: re-arming its watchdog after a fork can itself hang)."""
    chunks, deadline = [b"..."], time.monotonic() + timeout
    while chunks[-1] and time.monotonic() < deadline:  # until the end of the pipe
        if select.select([read_end], [], [], 0.2)[0]:
            chunks.append(os.read(read_end, 65536))
    os.close(read_end)
    if time.monotonic() >= deadline:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return "timed out"
    return b"".join(chunks[1:]).decode() if os.waitpid(pid, 0)[1] == 0 else "died"


def test_fork_during_a_pixel_loop(rng):
    a, b = random_band(rng, (700, 900)), random_band(rng, (700, 900))
    expected = ref_normalized_difference(a, b)
    busy_band, busy_out = random_band(rng, (1024, 512)), np.zeros((1024, 512), np.float32)
    busy = start_slow(busy_band, busy_out)

    def child():
        out = np.full(a.shape, np.nan, np.float32)
        vexlora.calculate_normalized_difference_inplace(a, b, out)
        assert_bits_equal(out, expected)
        # busy_out and busy_band were borrowed by a thread that does not exist in this process
        vexlora.calculate_ratio_inplace(busy_band, busy_band, busy_out)
        assert_bits_equal(busy_out, ref_ratio(busy_band, busy_band))
        vexlora.execute_expr_inplace(vexlora.compile_expr(SLOW_PROGRAM[:1], 1), [busy_band], busy_out)
        assert_bits_equal(busy_out, busy_band.astype(np.float32))
        # the child forks in its turn while one of its own threads computes
        own_out = np.zeros((1024, 512), np.float32)
        own_busy = start_slow(busy_band, own_out)

        def grandchild():
            assert_bits_equal(vexlora.calculate_normalized_difference(a, b), expected)
            vexlora.calculate_ratio_inplace(a[:, :512], b[:, :512], own_out[:700])  # borrowed in its parent
            assert_bits_equal(own_out[:700], ref_ratio(a[:, :512], b[:, :512]))

        pid, pipe = fork(grandchild)
        try:
            assert held(own_out)
        finally:
            report = reap(pid, pipe, 30)
            own_busy.join()
        assert report == "ok"

    try:
        pid, pipe = fork(child)
        forked_while_busy = held(busy_out)  # held before the fork and still: the loop ran across it
    finally:
        report = reap(pid, pipe)
        busy.join()
    assert forked_while_busy and report == "ok"
    assert not held(busy_out)


def slow_result(band):
    out = np.zeros(band.shape, np.float32)
    slow_call(band, out, threading.Event())
    return out


def run_interrupted(band, out, interrupt):
    """Run the slow call while `interrupt` (on another thread) signals it; 'interrupted' if the
    KeyboardInterrupt came, at the latest during the 2 s after the call returned."""
    started = threading.Event()
    thread = threading.Thread(target=lambda: (wait_until_running(started, out), interrupt()), daemon=True)
    thread.start()
    try:
        slow_call(band, out, started)
        for _ in range(400):
            time.sleep(0.005)
        return "no interrupt"
    except KeyboardInterrupt:
        return "interrupted"
    finally:
        thread.join(60)


def test_sigint_arrives_after_the_call_returns(rng):
    band = random_band(rng, (1024, 512))
    reference = slow_result(band)
    for i, j in [(0, 0), (1023, 511), (517, 3)]:  # spot checks of the reference itself
        assert_bits_equal(reference[i, j], evaluate(SLOW_PROGRAM, [band], i, j))
    out = np.zeros(band.shape, np.float32)
    assert run_interrupted(band, out, lambda: os.kill(os.getpid(), signal.SIGINT)) == "interrupted"
    assert_bits_equal(out, reference)  # the call ran to its end
    assert not held(out)


CHILD = """
import ctypes, os, signal, sys, numpy as np
before = set(os.listdir("/proc/self/task"))
import vexlora
pool = sorted(set(os.listdir("/proc/self/task")) - before)  # the workers started by the import
sys.path.insert(0, {tests!r})
from test_signals import run_interrupted, slow_result

def interrupt():
    for tid in pool if {tgkill} else []:  # SIGINT aimed straight at each pool thread
        assert ctypes.CDLL(None).syscall({tgkill}, os.getpid(), int(tid), signal.SIGINT) == 0
    print("running", len(pool), flush=True)

band = np.random.default_rng(5).integers(0, 65536, (1024, 1024), dtype=np.uint16)
out, reference = np.zeros(band.shape, np.float32), slow_result(band)
outcome = run_interrupted(band, out, interrupt)
print(outcome, "complete" if (out.view(np.uint32) == reference.view(np.uint32)).all() else "INCOMPLETE")
"""


@pytest.mark.parametrize("target", ["process", "pool threads"])
def test_sigint_from_outside(target):
    tgkill = {"x86_64": 234, "aarch64": 131}.get(platform.machine()) if target == "pool threads" else 0
    if tgkill is None:
        pytest.skip("tgkill's number is not known for this machine")
    script = CHILD.format(tests=os.path.dirname(os.path.abspath(__file__)), tgkill=tgkill)
    path = os.pathsep.join([os.path.dirname(vexlora.__file__), os.environ.get("PYTHONPATH", "")])
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=dict(os.environ, PYTHONPATH=path))
    try:
        assert int(child.stdout.readline().split()[1]) >= 1  # the call runs, and pool threads were found
        if target == "process":
            child.send_signal(signal.SIGINT)
        rest, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    if target == "process":
        assert rest == "interrupted complete\n"
    else:  # the pool may keep signals blocked (they stay pending there) or let Python's handler run
        assert rest in ("interrupted complete\n", "no interrupt complete\n")
