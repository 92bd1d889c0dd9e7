"""Concurrency stress, bounded: Python threads run the workload of bench/stress.py (all seven
functions on private arrays, shared outputs, outputs viewed as other calls' bands, disjoint views of
one base) for a fixed number of rounds under a watchdog. Every call gives the reference bits or, where
it touches shared memory, is refused with exactly AlreadyBorrowed; afterwards nothing stays borrowed."""

import os
import sys
import threading
import time

import numpy as np
import pytest

import vexlora

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import stress  # noqa: E402


@pytest.mark.parametrize("threads, rounds", [(1, 40), (3, 40), (16, 250)])
def test_every_call_is_exact_or_refused(threads, rounds):
    report = stress.run(threads=threads, rounds=rounds, timeout=120)
    assert report.failures == []
    assert report.rounds == rounds
    names = {name for name, _, _ in stress.Workload(1).tasks}
    assert {name for name in names if report.ok[name]} == names  # every kind of call succeeded at least once
    if threads == 1:
        assert not report.refused  # with nothing running alongside, no borrow may be refused
    elif threads == 16:
        assert sum(report.refused.values()) > 0  # the contended path was exercised


def test_probe_sees_a_borrow_that_is_held():
    """The end-of-run check writes a probe over each array's memory; make sure such a probe is
    refused while a borrow of the array is really held by a running call."""
    band = stress.padded(np.arange(1 << 20, dtype=np.uint16).reshape(1024, 1024))[::-1]
    out = np.zeros((1024, 1024), np.float32)
    slow = vexlora.compile_expr(stress.postfix("b0" + " 1.0001 pow" * 160), 1)  # a C powf per op and element
    started = threading.Event()
    runner = threading.Thread(target=lambda: (started.set(), vexlora.execute_expr_inplace(slow, [band], out)))
    runner.start()
    started.wait()
    time.sleep(0.05)  # the call takes its borrows at once; probing earlier could refuse it instead
    refused = []
    try:
        while runner.is_alive() and not refused:
            try:
                stress.assert_free([band])
            except stress.panic_type() as exc:
                refused.append(str(exc))
    finally:
        runner.join(120)
    assert not runner.is_alive()
    assert refused == [stress.ALREADY]
    stress.assert_free([band, out])
