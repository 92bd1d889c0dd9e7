"""compile_expr: what it accepts, how it converts operands and how it refuses bad input.
A CompiledExpr is opaque, so what it holds is read back by executing it."""

import math
import operator

import numpy as np
import pytest

import vexlora
from conftest import bits, panic_type
from expr_reference import scalar32

PB = lambda k: {"type": "push_band", "index": k}  # noqa: E731
PS = lambda v: {"type": "push_scalar", "value": v}  # noqa: E731
OP = lambda name: {"type": name}  # noqa: E731
BAND = np.array([[11, 22]], np.uint16)


def run(instructions, bands=(), num_bands=None, shape=(1, 1)):
    """Compile, execute on a grid prefilled with 7.0 and return the result's bits."""
    expr = vexlora.compile_expr(instructions, len(bands) if num_bands is None else num_bands)
    assert type(expr) is vexlora.CompiledExpr
    out = np.full(shape, 7.0, np.float32)
    vexlora.execute_expr_inplace(expr, list(bands), out)
    return bits(out)


def raises(exc_type, instructions, num_bands=0):
    with pytest.raises(BaseException) as info:
        vexlora.compile_expr(instructions, num_bands)
    assert type(info.value) is exc_type, repr(info.value)
    return str(info.value)


class Recorder:
    """An item-lookup object (not a dict) that logs every key asked for; as an integer it is 0."""

    def __init__(self, log, **items):
        self.log, self.items = log, items

    def __getitem__(self, key):
        self.log.append((id(self), type(key), key))
        return self.items[key]

    def __index__(self):
        self.log.append("num_bands")
        return 0


class IterOnly:
    """A sequence whose items come only from iteration: indexing and len fail."""

    def __init__(self, items, log=None, exc=None):
        self.items, self.log, self.exc = items, log, exc

    def __getitem__(self, i):
        raise AssertionError("indexed")

    def __len__(self):
        raise RuntimeError("length unavailable")

    def __iter__(self):
        for item in self.items:
            self.log is not None and self.log.append("item")
            yield item
        if self.exc is not None:
            raise self.exc


class StrSub(str):
    pass


def test_empty_programs_and_tuples():
    assert (run([], shape=(2, 3)) == 0).all() and (run((), shape=(2, 3)) == 0).all()
    prog = [PB(0), PS(0.5), OP("mul"), PB(0), OP("add")]
    assert (run(tuple(prog), [BAND], shape=(1, 2)) == bits(np.float32([[16.5, 33.0]]))).all()
    assert (run(prog, [BAND], shape=(1, 2)) == bits(np.float32([[16.5, 33.0]]))).all()


@pytest.mark.parametrize("num_bands", [1, True, np.uint8(1), np.int64(1)])
def test_num_bands_integer_forms(num_bands):
    assert (run([PB(0)], [BAND], num_bands=num_bands, shape=(1, 2)) == bits(np.float32([[11, 22]]))).all()
    with pytest.raises(ValueError, match=r"^Band count mismatch\.$"):
        run([PB(0)], [BAND, BAND], num_bands=num_bands)


@pytest.mark.parametrize("index, band", [(True, 1), (np.int32(1), 1), (np.uint64(0), 0), (False, 0)])
def test_index_integer_forms(index, band):
    bands = [np.full((1, 1), 100, np.uint16), np.full((1, 1), 200, np.uint16)]
    assert run([PB(index)], bands)[0, 0] == bits(np.float32(100 * (band + 1)))


def test_nothing_checked_against_num_bands_or_stack():
    for prog, nb in [([PB(99)], 2), ([OP("add")], 0), ([PB(0), PB(1)], 0), ([], 0), ([], 2**64 - 1)]:
        assert type(vexlora.compile_expr(prog, nb)) is vexlora.CompiledExpr
    for index, n in [(99, 2), (2**64 - 1, 1)]:
        with pytest.raises(panic_type(), match=f"^index out of bounds: the len is {n} but the index is {index}$"):
            run([PB(index)], [BAND] * n)


@pytest.mark.parametrize(
    "value",
    [2, 0.1, -1.0, -0.0, 1e300, -1e300, float("inf"), 3e38, 3.4028235677973366e38, 3.4028235677973362e38,
     1 + 2.0**-24, 1 + 3 * 2.0**-24, 1e-45, 7e-46, 1e-46, -1e-10, 65535, 2**70, True, np.float64(0.3),
     np.int16(-3), float("nan")],
)
def test_scalar_rounded_once_to_float32(value):
    got = run([PS(value)]).view(np.float32)[0, 0]
    assert np.isnan(got) if value != value else bits(got) == bits(scalar32(value))


def test_only_needed_keys_looked_up_extras_ignored():
    log = []
    prog = [Recorder(log, type="push_band", index=0, value="junk"), Recorder(log, type="push_scalar", value=3, index="x"),
            Recorder(log, type="add", index="x", value=object()), {"type": StrSub("neg"), "index": None, "colour": 1}]
    assert run(prog, [np.full((1, 1), 4, np.uint16)])[0, 0] == bits(np.float32(-7.0))
    assert [(t, k) for _, t, k in log] == [(str, "type"), (str, "index"), (str, "type"), (str, "value"), (str, "type")]


def test_items_by_iteration_then_num_bands_then_lookups():
    assert run(IterOnly([PS(5), OP("sqrt")]))[0, 0] == bits(np.sqrt(np.float32(5)))
    log = []
    rec = Recorder(log, type="push_scalar", value=1)
    vexlora.compile_expr(IterOnly([rec, rec], log), Recorder(log))
    assert [e if isinstance(e, str) else e[2] for e in log] == ["item", "item", "num_bands", "type", "value", "type", "value"]


def test_compiled_program_independent_of_its_input():
    prog = [PS(1.5), PS(2.0), OP("add")]
    expr = vexlora.compile_expr(instructions=prog, num_bands=0)
    prog[0]["value"] = 100.0
    prog.append(OP("neg"))
    out = np.zeros((1, 1), np.float32)
    vexlora.execute_expr_inplace(expr, [], out)
    assert bits(out)[0, 0] == bits(np.float32(3.5))


@pytest.mark.parametrize(
    "instructions, message",
    [("add", "Can't extract `str` to `Vec`"), (StrSub("add"), "Can't extract `str` to `Vec`"),
     ({"type": "add"}, "'dict' object cannot be converted to 'Sequence'"),
     ({1, 2}, "'set' object cannot be converted to 'Sequence'"),
     ((x for x in []), "'generator' object cannot be converted to 'Sequence'"),
     (iter([]), "'list_iterator' object cannot be converted to 'Sequence'"),
     (None, "'NoneType' object cannot be converted to 'Sequence'"), (5, "'int' object cannot be converted to 'Sequence'")],
)
def test_instructions_not_a_sequence(instructions, message):
    assert raises(TypeError, instructions) == f"argument 'instructions': {message}"


class TypeErrorSub(TypeError):
    pass


def test_iteration_failure():
    assert raises(TypeError, IterOnly([PS(1)], exc=TypeError("no more"))) == "argument 'instructions': no more"
    assert raises(ValueError, IterOnly([PS(1)], exc=ValueError("no more"))) == "no more"
    assert raises(TypeErrorSub, IterOnly([], exc=TypeErrorSub("sub"))) == "sub"
    err, cause = TypeError("outer"), KeyError("why")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        vexlora.compile_expr(IterOnly([], exc=err), 0)
    assert str(info.value) == "argument 'instructions': outer" and info.value.__cause__ is cause


@pytest.mark.parametrize("bad", [1.0, "2", None, np.float32(1)])
def test_integers_without_integer_form(bad):
    with pytest.raises(TypeError) as expected:
        operator.index(bad)
    assert raises(TypeError, [], bad) == f"argument 'num_bands': {expected.value}"
    assert raises(TypeError, [PS(1), PB(bad)]) == str(expected.value)


@pytest.mark.parametrize("bad", [-1, 2**64, np.int64(-1)])
def test_negative_or_huge_integers_without_prefix(bad):
    assert not raises(OverflowError, [], bad).startswith("argument")
    assert not raises(OverflowError, [PB(bad)]).startswith("argument")


def test_argument_order():
    assert raises(TypeError, "add", -1) == "argument 'instructions': Can't extract `str` to `Vec`"
    assert raises(TypeError, IterOnly([], exc=TypeError("x")), 1.5) == "argument 'instructions': x"
    log = []  # num_bands is converted before any instruction is examined
    with pytest.raises(OverflowError):
        vexlora.compile_expr([Recorder(log, type="bogus"), 5], -1)
    assert log == []


@pytest.mark.parametrize("name", ["Add", "ADD", "add ", " add", "", "push-band", "ad\x00d", "add\x00",
                                  "push_band\x00x", "añadir", "加", "neg\n", "x" * 300, "pushband"])
def test_unknown_op_text_unchanged(name):
    # The name is matched before any operand is looked up or converted.
    assert raises(ValueError, [PS(1), {"type": name, "index": -1, "value": "x"}]) == f"Unknown op: {name}"


@pytest.mark.parametrize("value", [3, None, b"add", ["add"], 1.5])
def test_type_not_a_str(value):
    message = f"'{type(value).__qualname__}' object cannot be converted to 'PyString'"
    assert raises(TypeError, [{"type": value, "index": -1}]) == message


def test_type_without_utf8_form():
    raises(UnicodeEncodeError, [{"type": "add\ud800"}])


def operand_lookup(item):
    return item["index" if item["type"] == "push_band" else "value"]


@pytest.mark.parametrize("item", [5, None, [], "push_band", {"index": 0}, {"type": "push_band"},
                                  {"type": "push_scalar", "index": 1}])
def test_failed_lookups_pass_unchanged(item):
    with pytest.raises(Exception) as expected:
        operand_lookup(item)
    assert raises(type(expected.value), [PS(1), item]) == str(expected.value)


@pytest.mark.parametrize("value", ["1.0", None, [1.0], 10**400])
def test_scalar_without_double_form(value):
    with pytest.raises(Exception) as expected:
        math.isnan(value)  # the same double conversion
    assert raises(type(expected.value), [PS(value)]) == str(expected.value)


def test_first_failing_instruction_ends_compilation():
    log = []
    first, third = Recorder(log, type="push_scalar", value=1), Recorder(log, type="add")
    for second in (Recorder(log, type="Pow"), Recorder(log, type="push_band", index=-5), Recorder(log)):
        log.clear()
        with pytest.raises((ValueError, OverflowError, KeyError)):
            vexlora.compile_expr([first, second, third], 0)
        assert [k for who, _, k in log if who != id(second)] == ["type", "value"]
