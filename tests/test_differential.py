"""Differential fuzzing on every instruction set: tests/differential.py runs random kernel calls and
random programs against the Python references, on arrays at any byte offset and with any byte
strides, in one process per set. VEXLORA_FUZZ_SECONDS sets each process's time (1 s unless given)
and VEXLORA_FUZZ_SEED its random sequence, for longer or other runs on demand."""

import os
import subprocess
import sys

import pytest

SECONDS = float(os.environ.get("VEXLORA_FUZZ_SECONDS", "1"))
SEED = int(os.environ.get("VEXLORA_FUZZ_SEED", "20261209"))
WORKER = os.path.join(os.path.dirname(__file__), "differential.py")


@pytest.mark.parametrize("isa", ["avx512", "avx2", "baseline"])
def test_random_calls_match_the_references(isa):
    env = dict(os.environ, VEXLORA_ISA=isa, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, WORKER, str(SECONDS), str(SEED)], env=env, capture_output=True,
                            text=True, timeout=3 * SECONDS + 300)
    assert result.returncode == 0, result.stderr[-4000:]
    kernels, programs = map(int, result.stdout.split())
    print(f"\n{isa}: {kernels} kernel calls and {programs} programs in {SECONDS:g} s")
    assert kernels > 0 and programs > 0
