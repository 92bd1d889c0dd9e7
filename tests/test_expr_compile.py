"""compile_expr: what it accepts, how it converts operands and how it refuses bad input.
A CompiledExpr is opaque, so what it holds is read back by executing it."""

import operator

import numpy as np
import pytest

import vexlora
from conftest import bits, panic_type
from expr_reference import scalar32

PB = lambda k: {"type": "push_band", "index": k}  # noqa: E731
PS = lambda v: {"type": "push_scalar", "value": v}  # noqa: E731
OP = lambda name: {"type": name}  # noqa: E731


def run(instructions, bands=(), num_bands=None, shape=(1, 1)):
    """Compile, execute on a grid prefilled with 7.0 and return the grid (bits as uint32)."""
    expr = vexlora.compile_expr(instructions, len(bands) if num_bands is None else num_bands)
    assert type(expr) is vexlora.CompiledExpr
    out = np.full(shape, 7.0, np.float32)
    vexlora.execute_expr_inplace(expr, list(bands), out)
    return bits(out)


def run_panic(instructions, bands=(), num_bands=None):
    with pytest.raises(panic_type()) as info:
        run(instructions, bands, num_bands)
    return str(info.value)


class Recorder:
    """An item-lookup object (not a dict) that logs every key asked for."""

    def __init__(self, log, **items):
        self.log, self.items = log, items

    def __getitem__(self, key):
        self.log.append((id(self), type(key), key))
        return self.items[key]


class Number:
    def __init__(self, log, value):
        self.log, self.value = log, value

    def __index__(self):
        self.log.append("num_bands")
        return self.value


BAND = np.array([[11, 22]], np.uint16)


@pytest.mark.parametrize("program", [[], ()])
def test_empty_program_compiles_and_yields_zero(program):
    assert (run(program, shape=(2, 3)) == 0).all()


def test_tuple_compiles_like_list():
    prog = [PB(0), PS(0.5), OP("mul"), PB(0), OP("add")]
    np.testing.assert_array_equal(run(tuple(prog), [BAND], shape=(1, 2)), run(prog, [BAND], shape=(1, 2)))
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


def test_nothing_checked_against_num_bands_or_stack_at_compile_time():
    for prog, nb in [([PB(99)], 2), ([OP("add")], 0), ([PB(0), PB(1)], 0), ([], 0)]:
        assert type(vexlora.compile_expr(prog, nb)) is vexlora.CompiledExpr
    msg = run_panic([PB(99)], [BAND, BAND])
    assert msg == "index out of bounds: the len is 2 but the index is 99"
    msg = run_panic([PB(2**64 - 1)], [BAND])
    assert msg == "index out of bounds: the len is 1 but the index is 18446744073709551615"
    assert type(vexlora.compile_expr([], 2**64 - 1)) is vexlora.CompiledExpr


class AsFloat:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "value",
    [2, 0.1, -1.0, -0.0, 1e300, -1e300, float("inf"), 3e38, 3.4028235677973366e38, 3.4028235677973362e38,
     1 + 2.0**-24, 1 + 3 * 2.0**-24, 1e-45, 7e-46, 1e-46, -1e-10, 65535, 2**70, True, np.float64(0.3),
     np.int16(-3), AsFloat()],
)
def test_scalar_rounded_once_to_float32(value):
    assert run([PS(value)])[0, 0] == bits(scalar32(value))


def test_nan_scalar_stays_nan():
    assert np.isnan(run([PS(float("nan"))]).view(np.float32)[0, 0])


def test_only_needed_keys_are_looked_up_and_extras_ignored():
    log = []
    prog = [Recorder(log, type="push_band", index=0, value="junk"),
            Recorder(log, type="push_scalar", value=3, index="junk"),
            Recorder(log, type="add", index="x", value=object()),
            {"type": "neg", "index": "not read", "value": None, "colour": 1}]
    assert run(prog, [np.full((1, 1), 4, np.uint16)])[0, 0] == bits(np.float32(-7.0))
    assert [(t, k) for _, t, k in log] == [(str, "type"), (str, "index"), (str, "type"), (str, "value"), (str, "type")]


class StrSub(str):
    pass


def test_str_subclass_as_type_name():
    assert run([PS(2), {"type": StrSub("neg")}])[0, 0] == bits(np.float32(-2.0))


class IterOnly:
    """A sequence whose items come only from iteration: indexing and len fail."""

    def __init__(self, items, log=None):
        self.items, self.log = items, log

    def __getitem__(self, i):
        raise AssertionError("indexed")

    def __len__(self):
        raise RuntimeError("length unavailable")

    def __iter__(self):
        for item in self.items:
            if self.log is not None:
                self.log.append("item")
            yield item


def test_items_taken_by_iteration_and_failed_length_ignored():
    assert run(IterOnly([PS(5), OP("sqrt")]))[0, 0] == bits(np.sqrt(np.float32(5)))


def test_order_items_then_num_bands_then_lookups():
    log = []
    rec = Recorder(log, type="push_scalar", value=1)
    vexlora.compile_expr(IterOnly([rec, rec], log), Number(log, 0))
    assert [e if isinstance(e, str) else e[2] for e in log] == ["item", "item", "num_bands", "type", "value", "type", "value"]


def test_compiled_program_is_independent_of_its_input():
    prog = [PS(1.5), PS(2.0), OP("add")]
    expr = vexlora.compile_expr(prog, 0)
    prog[0]["value"] = 100.0
    prog.append(OP("neg"))
    out = np.zeros((1, 1), np.float32)
    vexlora.execute_expr_inplace(expr, [], out)
    assert bits(out)[0, 0] == bits(np.float32(3.5))


def test_keywords():
    expr = vexlora.compile_expr(num_bands=0, instructions=[PS(4)])
    out = np.zeros((1, 1), np.float32)
    vexlora.execute_expr_inplace(out_buffer=out, bands=[], expr=expr)
    assert out[0, 0] == 4.0


# ---- refusals -------------------------------------------------------------------------------

def raises(exc_type, instructions, num_bands=0):
    with pytest.raises(BaseException) as info:
        vexlora.compile_expr(instructions, num_bands)
    assert type(info.value) is exc_type, repr(info.value)
    return str(info.value)


@pytest.mark.parametrize(
    "instructions, message",
    [("add", "argument 'instructions': Can't extract `str` to `Vec`"),
     (StrSub("add"), "argument 'instructions': Can't extract `str` to `Vec`"),
     ({"type": "add"}, "argument 'instructions': 'dict' object cannot be converted to 'Sequence'"),
     ({1, 2}, "argument 'instructions': 'set' object cannot be converted to 'Sequence'"),
     ((x for x in []), "argument 'instructions': 'generator' object cannot be converted to 'Sequence'"),
     (iter([]), "argument 'instructions': 'list_iterator' object cannot be converted to 'Sequence'"),
     (None, "argument 'instructions': 'NoneType' object cannot be converted to 'Sequence'"),
     (5, "argument 'instructions': 'int' object cannot be converted to 'Sequence'")],
)
def test_instructions_not_a_sequence(instructions, message):
    assert raises(TypeError, instructions) == message


class Broken(IterOnly):
    def __init__(self, exc):
        super().__init__([])
        self.exc = exc

    def __iter__(self):
        yield PS(1)
        raise self.exc


class TypeErrorSub(TypeError):
    pass


def test_iteration_failure():
    assert raises(TypeError, Broken(TypeError("no more"))) == "argument 'instructions': no more"
    assert raises(ValueError, Broken(ValueError("no more"))) == "no more"
    assert raises(TypeErrorSub, Broken(TypeErrorSub("sub"))) == "sub"
    cause = KeyError("why")
    err = TypeError("outer")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        vexlora.compile_expr(Broken(err), 0)
    assert str(info.value) == "argument 'instructions': outer" and info.value.__cause__ is cause


@pytest.mark.parametrize("num_bands", [1.0, "2", None, np.float32(1)])
def test_num_bands_without_integer_form(num_bands):
    with pytest.raises(TypeError) as expected:
        operator.index(num_bands)
    assert raises(TypeError, [], num_bands) == f"argument 'num_bands': {expected.value}"


@pytest.mark.parametrize("num_bands", [-1, 2**64, np.int64(-1)])
def test_num_bands_out_of_range(num_bands):
    assert not raises(OverflowError, [], num_bands).startswith("argument")


def test_bad_instructions_reported_before_bad_num_bands():
    assert raises(TypeError, "add", -1) == "argument 'instructions': Can't extract `str` to `Vec`"
    assert raises(TypeError, Broken(TypeError("x")), 1.5) == "argument 'instructions': x"


def test_num_bands_checked_before_any_instruction():
    log = []
    with pytest.raises(OverflowError):
        vexlora.compile_expr([Recorder(log, type="bogus"), 5], -1)
    assert log == []


@pytest.mark.parametrize("name", ["Add", "ADD", "add ", " add", "", "push-band", "ad\x00d", "add\x00",
                                  "push_band\x00x", "añadir", "加", "neg\n", "x" * 300])
def test_unknown_op_text_unchanged(name):
    assert raises(ValueError, [PS(1), {"type": name, "index": 0, "value": 1}]) == f"Unknown op: {name}"


@pytest.mark.parametrize("value, type_name", [(3, "int"), (None, "NoneType"), (b"add", "bytes"), (["add"], "list")])
def test_type_not_a_str(value, type_name):
    assert raises(TypeError, [{"type": value}]) == f"'{type_name}' object cannot be converted to 'PyString'"


def test_type_without_utf8_form():
    raises(UnicodeEncodeError, [{"type": "add\ud800"}])


class LookupFails:
    def __getitem__(self, key):
        raise LookupError(f"no {key}")


@pytest.mark.parametrize(
    "item, exc_type, message",
    [({"index": 0}, KeyError, "'type'"),
     ({"type": "push_band"}, KeyError, "'index'"),
     ({"type": "push_scalar", "index": 1}, KeyError, "'value'"),
     (5, TypeError, "'int' object is not subscriptable"),
     (None, TypeError, "'NoneType' object is not subscriptable"),
     (LookupFails(), LookupError, "no type"),
     ({"type": "push_band", "index": 1.0}, TypeError, "'float' object cannot be interpreted as an integer"),
     ({"type": "push_band", "index": "0"}, TypeError, "'str' object cannot be interpreted as an integer")],
)
def test_instruction_failures_pass_unchanged(item, exc_type, message):
    assert raises(exc_type, [PS(1), item]) == message


@pytest.mark.parametrize("index", [-1, 2**64, np.int8(-1)])
def test_index_out_of_range(index):
    assert not raises(OverflowError, [PB(index)]).startswith("argument")


class FloatFails:
    def __float__(self):
        raise ArithmeticError("no float")


@pytest.mark.parametrize("value, exc_type", [("1.0", TypeError), (None, TypeError), ([1.0], TypeError),
                                             (10**400, OverflowError), (FloatFails(), ArithmeticError)])
def test_scalar_without_double_form(value, exc_type):
    assert not raises(exc_type, [PS(value)]).startswith("argument")


def test_first_failing_instruction_ends_compilation():
    log = []
    first, third = Recorder(log, type="push_scalar", value=1), Recorder(log, type="add")
    for second in (Recorder(log, type="Pow"), Recorder(log, type="push_band", index=-5), Recorder(log)):
        log.clear()
        with pytest.raises((ValueError, OverflowError, KeyError)):
            vexlora.compile_expr([first, second, third], 0)
        assert id(third) not in {who for who, _, _ in log}
        assert [k for who, _, k in log if who == id(first)] == ["type", "value"]


def test_check_order_within_one_instruction():
    # The name is matched before the operand is looked up or converted.
    assert raises(ValueError, [{"type": "pushband", "index": -1}]) == "Unknown op: pushband"
    assert raises(TypeError, [{"type": 1.5, "index": -1}]) == "'float' object cannot be converted to 'PyString'"
