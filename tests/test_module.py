"""Module surface: import, registration, introspection, the CompiledExpr class, the worker pool."""

import importlib
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

import vexlora

NAMES = [
    "calculate_normalized_difference_inplace",
    "calculate_ratio_inplace",
    "calculate_adjusted_difference_inplace",
    "calculate_evi_inplace",
    "calculate_normalized_difference",
    "compile_expr",
    "execute_expr_inplace",
]

SIGNATURES = {
    "calculate_normalized_difference_inplace": "(band_a, band_b, out_buffer)",
    "calculate_ratio_inplace": "(band_a, band_b, out_buffer)",
    "calculate_adjusted_difference_inplace": "(band_a, band_b, l, out_buffer)",
    "calculate_evi_inplace": "(nir, red, blue, g, c1, c2, l, out_buffer)",
    "calculate_normalized_difference": "(band_a, band_b)",
    "compile_expr": "(instructions, num_bands)",
    "execute_expr_inplace": "(expr, bands, out_buffer)",
}


def run_python(code, env=None, prefix=None):
    """Runs code in a fresh interpreter that imports this build of the module, after the command
    words in `prefix` if any."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(
        p for p in [os.path.dirname(vexlora.__file__), full_env.get("PYTHONPATH", "")] if p
    )
    full_env.update(env or {})
    return subprocess.run(
        [*(prefix or []), sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=full_env, timeout=120,
    )


def test_all_lists_functions_then_class():
    assert vexlora.__all__ == NAMES + ["CompiledExpr"]
    assert vexlora.__doc__ == ""
    assert not hasattr(vexlora, "PanicException")


@pytest.mark.parametrize("name", NAMES)
def test_functions_show_signature_and_no_doc(name):
    fn = getattr(vexlora, name)
    assert fn.__doc__ is None
    assert fn.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__module__ == "vexlora"
    assert fn.__self__ is vexlora


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("vexlora")
    try:
        again = importlib.import_module("vexlora")
        assert again is first
    finally:
        sys.modules["vexlora"] = first


def test_compiled_expr_class_settings():
    cls = vexlora.CompiledExpr
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", "CompiledExpr", "CompiledExpr")
    assert cls.__doc__ is None
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == "No constructor defined for CompiledExpr"
    with pytest.raises(TypeError):

        class Derived(cls):  # noqa: F841 - the class statement itself must fail
            pass

    cls.some_attribute = 1  # the class object itself accepts attributes
    del cls.some_attribute


def test_compiled_expr_instances_are_opaque():
    expr = vexlora.compile_expr([], 0)
    assert type(expr) is vexlora.CompiledExpr
    with pytest.raises(AttributeError):
        expr.ops = []
    with pytest.raises(TypeError):
        weakref.ref(expr)
    assert not hasattr(expr, "__dict__")


def test_import_in_a_subinterpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(Exception) as info:
            interpreters.run_string(interp, "import vexlora")
        assert "do not yet support subinterpreters" in str(info.value)
    finally:
        interpreters.destroy(interp)
    assert vexlora.compile_expr([], 0) is not None  # the first interpreter's module is unaffected


def test_imports_without_numpy_and_fails_only_at_the_first_array_call():
    result = run_python(
        """
        import sys
        sys.modules["numpy"] = None  # any import of numpy now raises ImportError
        import vexlora
        expr = vexlora.compile_expr([{"type": "push_scalar", "value": 1}], 0)
        try:
            vexlora.calculate_ratio_inplace(None, None, None)
        except BaseException as exc:
            print(type(exc).__name__, "|", exc)
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message = result.stdout.strip().split(" | ", 1)
    assert kind == "PanicException"
    assert message.startswith("Failed to access NumPy array API capsule: ")
    assert "numpy" in message


def count_workers_started_by_import(env=None, pin=None):
    """The threads the import of the module adds to a fresh interpreter, and the CPUs it may use;
    `pin` runs it under `taskset -c PIN`."""
    result = run_python(
        """
        import os
        before = len(os.listdir("/proc/self/task"))
        import vexlora
        after = len(os.listdir("/proc/self/task"))
        print(after - before, len(os.sched_getaffinity(0)))
        """,
        env=env,
        prefix=["taskset", "-c", pin] if pin is not None else None,
    )
    assert result.returncode == 0, result.stderr
    return tuple(map(int, result.stdout.split()))


def test_pool_has_one_worker_per_processor_whatever_the_environment():
    started, cpus = count_workers_started_by_import(
        env={"RAYON_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "VEXLORA_NUM_THREADS": "1"})
    assert started == cpus


@pytest.mark.skipif(shutil.which("taskset") is None, reason="needs taskset")
def test_pool_counts_only_the_processors_the_process_may_run_on():
    allowed = sorted(os.sched_getaffinity(0))
    assert count_workers_started_by_import(pin=str(allowed[0])) == (1, 1)
    if len(allowed) > 1:
        assert count_workers_started_by_import(pin=f"{allowed[0]},{allowed[-1]}") == (2, 2)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_entry_point_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", vexlora.__file__], capture_output=True, text=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_vexlora"]


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="address-space limits break the sanitizer")
@pytest.mark.parametrize("margin_mib", [4, 10])  # no worker can start / the first starts, the second cannot
def test_pool_that_could_not_start_fails_calls_not_the_import(margin_mib):
    result = run_python(
        f"""
        import resource
        import numpy as np
        vm = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize:"))
        limit = vm + {margin_mib} * 1024 * 1024  # room for the module, not for 8 MiB thread stacks
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        import vexlora
        expr = vexlora.compile_expr([], 0)  # compiling needs no pool
        out = np.full((3, 3), 5.0, np.float32)
        for call in (lambda: vexlora.calculate_ratio_inplace(np.ones((3, 3), np.uint16), np.ones((3, 3), np.uint16), out),
                     lambda: vexlora.execute_expr_inplace(expr, [], out)):
            try:
                call()
            except BaseException as exc:
                print(type(exc).__name__, "|", exc)
        print((out == 5.0).all())
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    assert len(lines) == 3 and lines[2] == "True"
    for line in lines[:2]:
        kind, message = line.split(" | ")
        assert kind == "PanicException"
        assert message.startswith("The global thread pool has not been initialized.")
