"""Hostile inputs: instruction objects and band sequences whose Python hooks raise, lie or mutate
what is being converted; array subclasses with hostile hooks; odd and unaligned byte strides, zero
and negative strides, folded outputs, empty and huge (zero-stride) shapes. Each gives a Python
exception or the correct result, never a crash or a hang, and leaves nothing borrowed."""

import ctypes
import ctypes.util
import faulthandler
import gc
import os
import platform
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vexlora
from conftest import (assert_bits_equal, f32, panic_type, random_band, ref_adjusted_difference, ref_evi,
                      ref_normalized_difference, ref_ratio)
from expr_reference import evaluate_grid, parse
from test_stress import stress  # the stress workload's borrow probe, EVI scalars

KERNELS = {  # name: (function, number of bands, scalars, reference)
    "nd": (vexlora.calculate_normalized_difference_inplace, 2, (), ref_normalized_difference),
    "ratio": (vexlora.calculate_ratio_inplace, 2, (), ref_ratio),
    "adjusted": (vexlora.calculate_adjusted_difference_inplace, 2, (0.25,), ref_adjusted_difference),
    "evi": (vexlora.calculate_evi_inplace, 3, stress.EVI, ref_evi),
}
PROGRAM = "b0 b1 sub b2 0.5 mul add b1 1 add div"
SCALARS = parse("4 3 sub")
FE_DOWNWARD = {"x86_64": 0x400, "AMD64": 0x400, "aarch64": 0x800000}  # <fenv.h> of each machine


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(120, exit=True)  # a hang ends the run with every traceback
    yield
    faulthandler.cancel_dump_traceback_later()


def make(dtype, shape, strides, misalign=0, values=None):
    """An array with any byte strides and misalignment over its own float32 buffer (8 spare bytes
    at each end). Along a zero stride one index reaches all the memory there is."""
    size, empty = np.dtype(dtype).itemsize, 0 in shape
    low = 0 if empty else sum((n - 1) * s for n, s in zip(shape, strides) if s < 0)
    high = 0 if empty else sum((n - 1) * s for n, s in zip(shape, strides) if s > 0) + size
    backing = np.zeros((high - low + misalign + 16) // 4 + 1, np.float32)
    arr = np.ndarray(shape, dtype, buffer=backing, offset=8 + misalign - low, strides=strides)
    if values is not None:
        index = tuple(slice(0, 1) if s == 0 else slice(None) for s in strides)
        arr[index] = values[index] if np.shape(values) == shape else values
    return arr


def assert_released(*arrays):
    stress.assert_free(arrays)  # writes a probe over each array's memory, in the array's own base


def run(text_or_program, bands, out, num_bands=None):
    program = parse(text_or_program) if isinstance(text_or_program, str) else text_or_program
    expr = vexlora.compile_expr(program, list.__len__(bands) if num_bands is None else num_bands)
    vexlora.execute_expr_inplace(expr, bands, out)
    return out


def value_of(program):
    out = run(program, [], np.full((2, 3), -7.0, np.float32), 0)
    assert (out == out[0, 0]).all()
    return out[0, 0]


# --- hooks in instructions and sequences ---------------------------------------------------------


class Boom(Exception):
    pass


class Hooked:
    """Runs `hook` when `key` is looked up on it (a mapping), or on __index__ / __float__ (a number)."""

    def __init__(self, value, hook, key=None):
        self.value, self.hook, self.key = value, hook, key

    def __getitem__(self, key):
        if key == self.key:
            self.hook()
        return self.value[key]

    def __index__(self):
        self.hook()
        return self.value

    __float__ = __index__


def boom():
    raise Boom("from a hook")


@pytest.mark.parametrize("ins, exc", [
    (Hooked({"type": "add"}, boom, "type"), Boom), (Hooked({"type": "push_band", "index": 0}, boom, "index"), Boom),
    ({"type": "push_band", "index": Hooked(0, boom)}, Boom),
    ({"type": "push_scalar", "value": Hooked(1.0, boom)}, Boom),
    ({"type": "push_band", "index": Hooked(2**64, lambda: None)}, OverflowError),
    ({"type": "push_band", "index": Hooked(-3, lambda: None)}, OverflowError),
    ({"type": "push_band", "index": Hooked(2.0, lambda: None)}, TypeError),  # __index__ returning a float
    ({"type": "push_scalar", "value": Hooked("2.0", lambda: None)}, TypeError),  # __float__ returning a str
])
def test_hooks_that_raise_or_return_nonsense(ins, exc):
    with pytest.raises(exc):
        vexlora.compile_expr([{"type": "push_scalar", "value": 1}, ins], 1)


@pytest.mark.parametrize("where", ["type", "value", "__float__", "__index__"])
@pytest.mark.parametrize("mutation", ["clear", "append", "replace"])
def test_instruction_list_mutated_while_compiling(where, mutation):
    """The items are all taken by iteration first, so the program is the one that was passed."""
    program = []

    def mutate():
        {"clear": program.clear, "append": lambda: program.append({"type": "neg"}),
         "replace": lambda: program.__setitem__(slice(None), parse("100 100 100"))}[mutation]()
        gc.collect()  # the dropped items live on only if the compiler holds them

    first = {"type": "push_scalar", "value": 2.0}
    first = {"type": Hooked(first, mutate, where), "value": Hooked(first, mutate, where),
             "__float__": {"type": "push_scalar", "value": Hooked(2.0, mutate)},
             "__index__": {"type": "push_band", "index": Hooked(0, mutate)}}[where]
    program += [first, *parse("3 add")]
    assert (run(program, [np.full((2, 3), 2, np.uint16)], np.zeros((2, 3), np.float32), 1) == 5.0).all()


class Items(list):
    """A list whose iteration fails at item `fail_at`, or changes the list's length as it goes, and
    whose __len__ lies (`length`: a number, or an exception to raise)."""

    def __init__(self, items, fail_at=None, exc=None, length=None, grow=False):
        super().__init__(items)
        self.fail_at, self.exc, self.length, self.grow = fail_at, exc, length, grow

    def __iter__(self):
        for k, item in enumerate(list(list.__iter__(self))):
            if k == self.fail_at:
                raise self.exc
            if self.grow:
                self.append(item) if k % 2 else self.pop(0)
            yield item

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return list.__len__(self) if self.length is None else self.length


@pytest.mark.parametrize("kind", [dict(grow=True), *(dict(length=n) for n in [0, 1, 10**6, OverflowError(), Boom()])])
def test_sequences_that_lie_about_or_change_their_length(kind, rng):
    assert value_of(Items(SCALARS, **kind)) == 1.0
    bands = [random_band(rng, (3, 4)) for _ in range(3)]
    out = run(PROGRAM, Items(bands, **kind), np.zeros((3, 4), np.float32), 3)
    assert_bits_equal(out, evaluate_grid(parse(PROGRAM), bands, (3, 4)).values)
    assert_released(*bands, out)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError, GeneratorExit])
def test_length_hint_failures_that_are_not_ordinary_end_the_call(exc, rng):
    """Only an ordinary exception from __len__ means "length unknown"; the others are not lost."""
    with pytest.raises(exc, match="^from __len__$"):
        vexlora.compile_expr(Items(SCALARS, length=exc("from __len__")), 0)
    band, out = random_band(rng, (2, 3)), np.zeros((2, 3), np.float32)
    expr = vexlora.compile_expr(parse("b0"), 1)
    with pytest.raises(exc, match="^from __len__$"):
        vexlora.execute_expr_inplace(expr, Items([band], length=exc("from __len__")), out)
    assert not out.any()


@pytest.mark.parametrize("kind", ["instructions", "bands"])
def test_absurd_length_hint_is_ignored(kind):
    """__len__ claims 2**62 items: the length only sizes a first allocation, the items decide."""
    out = np.zeros((2, 3), np.float32)
    if kind == "instructions":
        run(Items(SCALARS, length=2**62), [], out, 0)
        assert (out == 1.0).all()
    else:
        run(parse("4 b0 sub"), Items([np.ones((2, 3), np.uint16)], length=2**62), out, 1)
        assert (out == 3.0).all()
    assert_released(out)


@pytest.mark.parametrize("exc", [Boom("mid-way"), TypeError("mid-way")])
def test_iteration_failing_mid_way(exc, rng):
    prefix = "argument 'instructions': " if type(exc) is TypeError else ""
    with pytest.raises(type(exc), match=f"^{prefix}mid-way$"):
        vexlora.compile_expr(Items(SCALARS, fail_at=2, exc=exc), 0)
    bands, out = [random_band(rng, (2, 3)) for _ in range(3)], np.zeros((2, 3), np.float32)
    with pytest.raises(type(exc)):
        run("b0", Items(bands, fail_at=2, exc=exc), out, 3)
    assert not out.any()
    assert_released(*bands, out)


def test_bands_that_only_the_call_keeps_alive(rng):
    values = [random_band(rng, (5, 6)) for _ in range(3)]

    class Fresh(list):
        def __iter__(self):
            for v in values:
                yield v.copy()  # nothing else refers to it
                gc.collect()

    out = run(PROGRAM, Fresh([None] * 3), np.zeros((5, 6), np.float32))
    assert_bits_equal(out, evaluate_grid(parse(PROGRAM), values, (5, 6)).values)


def test_scalar_hooks_that_reshape_arrays_or_reenter_the_module(rng):
    a, b = random_band(rng, (4, 6)), random_band(rng, (4, 6))
    out = np.zeros((4, 6), np.float32)
    # l is converted after band_a and band_b: the shape check sees band_a as the hook left it
    with pytest.raises(ValueError, match=r"^Shape mismatch at index 1: expected \[6, 4\], got \[4, 6\]$"):
        vexlora.calculate_adjusted_difference_inplace(a, b, Hooked(0.5, lambda: setattr(a, "shape", (6, 4))), out)
    a.shape = (4, 6)
    assert not out.any()
    # no borrow is taken before every argument is converted, so a hook may use the same arrays
    gain = Hooked(2.5, lambda: vexlora.calculate_ratio_inplace(a, b, out))
    vexlora.calculate_evi_inplace(a, b, a, gain, 6.0, 7.5, 1.0, out)
    assert_bits_equal(out, ref_evi(a, b, a, *stress.EVI))
    assert_released(a, b, out)


def test_arrays_changed_by_hooks_after_acceptance_are_refused(rng):
    """Python code run after an array was accepted (a scalar's __float__, the iterator of `bands`)
    may reshape it, drop a dimension or change its dtype; the call reads every array once, when no
    more Python code runs, and refuses one that no longer fits with the argument's usual TypeError."""
    def changes(arr):
        return [lambda: setattr(arr, "shape", ()), lambda: setattr(arr, "shape", (arr.size,)),
                lambda: setattr(arr, "dtype", np.uint8), lambda: setattr(arr, "dtype", np.float16)]

    for k in range(4):
        a, b, out = random_band(rng, (1, 1)), random_band(rng, (1, 1)), np.zeros((1, 1), np.float32)
        hook = Hooked(0.5, changes(b)[k])
        with pytest.raises(TypeError, match=r"^argument 'band_b': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
            vexlora.calculate_adjusted_difference_inplace(a, b, hook, out)
        with pytest.raises(TypeError, match=r"^argument 'nir': 'ndarray'"):
            vexlora.calculate_evi_inplace(a, a, a, Hooked(1.0, changes(a)[k]), 1.0, 1.0, 1.0, out)
        assert not out.any()

        bands = [random_band(rng, (1, 1)), random_band(rng, (1, 1))]

        class Changing(list):
            def __iter__(self, change=changes(bands[0])[k]):
                yield bands[0]
                change()  # the first band, already accepted, changes before the second is handed over
                yield bands[1]

        with pytest.raises(TypeError, match=r"^argument 'bands': 'ndarray' object cannot be converted"):
            run("b0 b1 add", Changing(bands), out)
        assert_released(out)


@pytest.mark.skipif(platform.machine() not in FE_DOWNWARD, reason="rounding-mode constants of this machine unknown")
def test_scalars_are_rounded_to_nearest_whatever_the_callers_rounding_mode(rng):
    """l = 0.1 (and every other scalar) becomes the float32 nearest to it, and k = 1 + l is rounded
    to nearest, also when the calling thread rounds downwards."""
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    a, b = np.full((1, 1), 3, np.uint16), np.full((1, 1), 1, np.uint16)
    evi = (0.1, 0.3, 0.7, 0.1)
    expected = [ref_adjusted_difference(a, b, 0.1), ref_evi(a, b, b, *evi), np.float32(0.1) + np.float32(0.3)]
    expr = vexlora.compile_expr(parse("0.1 0.3 add"), 0)
    outs = [np.zeros((1, 1), np.float32) for _ in expected]
    previous = libm.fegetround()
    assert libm.fesetround(FE_DOWNWARD[platform.machine()]) == 0
    try:
        vexlora.calculate_adjusted_difference_inplace(a, b, 0.1, outs[0])
        vexlora.calculate_evi_inplace(a, b, b, *evi, outs[1])
        vexlora.execute_expr_inplace(expr, [], outs[2])
    finally:
        libm.fesetround(previous)
    assert hex(outs[0].view(np.uint32)[0, 0]) == "0x3f095da9"
    for out, want in zip(outs, expected):
        assert_bits_equal(out, np.broadcast_to(want, (1, 1)))


# Sets flush-to-zero on the calling thread through fegetenv/fesetenv, as another library might:
# MXCSR's FTZ and DAZ (the last word of x86-64's fenv_t), FPCR's FZ (the first of AArch64's).
FLUSH_TO_ZERO = {"x86_64": (8, 7, 0x8040), "aarch64": (2, 0, 1 << 24)}  # words, word, bits


@pytest.mark.skipif(platform.machine() not in FLUSH_TO_ZERO, reason="floating-point controls of this machine unknown")
def test_subnormal_results_are_exact_whatever_flush_to_zero_the_caller_set(rng, tmp_path):
    """EVI with g = 1e-40 and programs that scale bands by subnormals give subnormal results: exact
    when flush-to-zero was set on the importing thread (which the workers start from) and is set
    on the calling thread (which computes beside them), for one piece and for many."""
    shapes = [(1, 3), (300, 257)]
    bands = [[random_band(rng, shape) for _ in range(3)] for shape in shapes]
    evi = (1e-40, 6.0, 7.5, 1.0)
    programs = ["b0 b1 sub 1e-39 mul", "b0 1e-38 mul 0.0001 mul b1 1e-41 mul add"]
    c = [np.float32(x) for x in (1e-39, 1e-38, 0.0001, 1e-41)]
    expected = [[ref_evi(*b, *evi), (f32(b[0]) - f32(b[1])) * c[0], ((f32(b[0]) * c[1]) * c[2]) + (f32(b[1]) * c[3])]
                for b in bands]
    for want in expected[1]:  # each result has subnormal elements
        assert ((want != 0) & (abs(want) < np.finfo(np.float32).tiny)).any()
    np.savez(tmp_path / "bands.npz", *[b for group in bands for b in group])
    code = textwrap.dedent(f"""
        import ctypes, ctypes.util, platform
        import numpy as np
        words, word, ftz = {FLUSH_TO_ZERO!r}[platform.machine()]
        libm = ctypes.CDLL(ctypes.util.find_library("m"))
        env = (ctypes.c_uint32 * words)()
        assert libm.fegetenv(env) == 0
        env[word] |= ftz
        assert libm.fesetenv(env) == 0
        assert np.float32(1e-38) * np.float32(0.01) == 0  # flushed: the setting is in force
        import vexlora
        from expr_reference import parse
        stored = np.load({str(tmp_path / "bands.npz")!r})
        bands = [stored[f"arr_{{i}}"] for i in range(len(stored.files))]
        outs = []
        for group in (bands[:3], bands[3:]):
            out = np.zeros(group[0].shape, np.float32)
            vexlora.calculate_evi_inplace(*group, *{evi!r}, out)
            outs.append(out)
            for text in {programs!r}:
                out = np.zeros(group[0].shape, np.float32)
                vexlora.execute_expr_inplace(vexlora.compile_expr(parse(text), 2), group[:2], out)
                outs.append(out)
        assert np.float32(1e-38) * np.float32(0.01) == 0  # the caller's setting is back after the calls
        np.savez({str(tmp_path / "outs.npz")!r}, *outs)
        """)
    path = os.pathsep.join([os.path.dirname(vexlora.__file__), os.path.dirname(__file__),
                            os.environ.get("PYTHONPATH", "")])
    result = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=path),
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    outs = np.load(tmp_path / "outs.npz")
    for i, want in enumerate(e for group in expected for e in group):
        assert_bits_equal(outs[f"arr_{i}"], want)


def test_compiled_expr_made_through_a_replaced_new_is_refused():
    """CompiledExpr is a mutable class, so __new__ can be replaced and object.__new__ then makes an
    instance that compile_expr never built: it is a valid object that execute_expr_inplace refuses.
    In a child process, as the class cannot be given its own __new__ back."""
    code = textwrap.dedent("""
        import gc
        import numpy as np
        import vexlora
        cls = vexlora.CompiledExpr
        cls.__new__ = lambda c: object.__new__(c)
        forged = [cls() for _ in range(3)]
        out = np.full((2, 3), 5.0, np.float32)
        for expr in forged:
            try:
                vexlora.execute_expr_inplace(expr, [], out)
            except TypeError as exc:
                print(exc)
        assert (out == 5.0).all()
        del forged, expr
        gc.collect()
        expr = vexlora.compile_expr([{"type": "push_band", "index": 0}], 1)
        vexlora.execute_expr_inplace(expr, [np.full((2, 3), 4, np.uint16)], out)
        assert (out == 4.0).all()
        """)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(vexlora.__file__))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == ["argument 'expr': 'CompiledExpr' object cannot be converted to 'CompiledExpr'"] * 3


# --- array subclasses ----------------------------------------------------------------------------


class Grumpy(np.ndarray):
    """Every Python-level hook raises once armed, and `base` leads back to itself."""
    armed = False

    def __array_finalize__(self, obj):
        if Grumpy.armed:
            raise Boom("__array_finalize__")

    def __getitem__(self, key):
        raise Boom("__getitem__") if Grumpy.armed else super().__getitem__(key)

    def __setitem__(self, key, value):
        raise Boom("__setitem__") if Grumpy.armed else super().__setitem__(key, value)

    def __array__(self, *args, **kwargs):
        raise Boom("__array__")

    def __len__(self):
        raise Boom("__len__")

    base = property(lambda self: self)


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
@pytest.mark.parametrize("name", KERNELS)
def test_subclasses_with_hostile_hooks(name, rng):
    fn, count, scalars, ref = KERNELS[name]
    bands = [random_band(rng, (6, 7)) for _ in range(count)]
    views, out = [b.view(Grumpy) for b in bands], np.full((6, 7), np.nan, np.float32).view(Grumpy)
    Grumpy.armed = True
    try:
        fn(*views, *scalars, out)
        assert_bits_equal(out.view(np.ndarray), ref(*bands, *scalars))
        run(PROGRAM, [views[0], views[-1], views[0]], out)
    finally:
        Grumpy.armed = False
    expected = evaluate_grid(parse(PROGRAM), [bands[0], bands[-1], bands[0]], (6, 7)).values
    assert_bits_equal(out.view(np.ndarray), expected)
    fn(np.ma.masked_array(bands[0], mask=bands[0] > 30000), *bands[1:], *scalars, out)  # the mask is not looked at
    assert_bits_equal(out.view(np.ndarray), ref(*bands, *scalars))
    result = vexlora.calculate_normalized_difference(np.asmatrix(bands[0]), views[-1])
    assert type(result) is np.ndarray
    assert_bits_equal(result, ref_normalized_difference(bands[0], bands[-1]))
    assert_released(*bands, out.view(np.ndarray))


# --- strides, alignment and shapes ---------------------------------------------------------------

R, C = 13, 29
LAYOUTS = {  # name: ((band strides, misalignment), (output strides, misalignment))
    "odd byte strides": (([(3 * C + 1, 3), (5, 5 * R + 2)], 1), ((6 * C + 2, 6), 2)),
    "negative odd strides": (([(-(3 * C + 1), -3), (-5, 5 * R)], 0), ((-(7 * C), -7), 1)),
    "unaligned": (([(2 * C, 2), (2, 2 * R)], 1), ((4 * C, 4), 2)),
    "zero strides": (([(0, 0), (0, 2), (2, 0)], 0), ((4 * C, 4), 0)),
    # folded outputs get inputs folded the same way, so all writes to one location carry one value
    "rows folded into one": (([(0, 2), (0, -2)], 0), ((0, 4), 0)),
    "diagonals folded": (([(2, 2), (-2, -2)], 1), ((4, 4), 3)),
}


@pytest.mark.parametrize("name", [*KERNELS, "program"])
@pytest.mark.parametrize("kind", LAYOUTS)
def test_strides_and_alignment(kind, name, rng):
    (band_strides, band_misalign), (out_strides, out_misalign) = LAYOUTS[kind]
    count = 3 if name == "program" else KERNELS[name][1]
    bands = [make(np.uint16, (R, C), band_strides[k % len(band_strides)], band_misalign, random_band(rng, (R, C)))
             for k in range(count)]
    out = make(np.float32, (R, C), out_strides, out_misalign, np.nan)
    if name == "program":
        expected = evaluate_grid(parse(PROGRAM), [np.array(b) for b in bands], (R, C)).values
        run(PROGRAM, bands, out)
    else:
        fn, _, scalars, ref = KERNELS[name]
        fn(*bands, *scalars, out)
        expected = ref(*bands, *scalars)
    assert_bits_equal(out, expected)
    assert_released(*bands, out)


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 1 << 40), (1 << 40, 0)])
def test_empty_shapes_with_any_strides(shape):
    bands = [make(np.uint16, shape, s) for s in [(0, 0), (-6, 2), (2, 1 << 40)]]
    out = make(np.float32, shape, (-4, 0))
    for fn, count, scalars, _ in KERNELS.values():
        fn(*bands[:count], *scalars, out)
    run("b0 b1 b2 add add", bands, out)
    run("b0 add", [], out, 0)  # nothing is evaluated, so nothing fails


def test_huge_zero_stride_bands(rng):
    big, row = 1 << 20, random_band(rng, (1, 1000))
    bands = [make(np.uint16, (big, big), (0, 0), 1, 777), make(np.uint16, (1 << 40, 1000), (0, 2), 0, row)]
    out = run("b0 b1 sub", bands, make(np.float32, (64, 1000), (4000, 4)))  # bands read in their leading part
    assert_bits_equal(out, np.broadcast_to(np.float32(777) - row.astype(np.float32), (64, 1000)))
    for fn, count, scalars, _ in KERNELS.values():
        with pytest.raises(ValueError, match=rf"^Shape mismatch at index 1: expected \[{big}, {big}\], got \[{1 << 40},"):
            fn(*(bands * 2)[:count], *scalars, out)
    short = make(np.uint16, (big, 3), (0, 2), 0, 5)
    with pytest.raises(panic_type(), match="^ndarray: index out of bounds$"):
        run("b0 b1 add", [bands[0], short], out)
    assert_released(*bands, short, out)


def test_large_real_output_from_broadcast_bands(rng):
    rows = [random_band(rng, (1, 4096)) for _ in range(3)]
    bands = [make(np.uint16, (2048, 4096), (0, 2), 0, r) for r in rows]
    out = np.full((2048, 4096), np.nan, np.float32)
    for name, (fn, count, scalars, ref) in KERNELS.items():
        fn(*bands[:count], *scalars, out)
        assert (out.view(np.uint32) == ref(*rows[:count], *scalars).view(np.uint32)).all(), name
    run(PROGRAM, bands, out)
    assert (out.view(np.uint32) == evaluate_grid(parse(PROGRAM), rows, (1, 4096)).values.view(np.uint32)).all()
    assert_released(*bands, out)
