"""The type stub matches the built module, and the examples and formula package type-check with it."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytest.importorskip("mypy")


# In a source tree the formula package is read from python/ (MYPYPATH); where the tests run against
# an installed wheel (no python/ beside them), mypy finds and checks the installed package.
SOURCES = ROOT / "python"


def run_mypy(*args):
    env = dict(os.environ, MYPYPATH=str(SOURCES)) if SOURCES.is_dir() else dict(os.environ)
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, env=env, capture_output=True, text=True,
                          timeout=600)


def test_stub_matches_the_module():
    result = run_mypy("mypy.stubtest", "vexlora")
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_and_formulas_type_check():
    for target in (["examples"], ["-p", "vexlora_formulas"]):  # mypy takes files or packages, not both
        result = run_mypy("mypy", "--strict", "--no-incremental", *target)
        assert result.returncode == 0, result.stdout + result.stderr
