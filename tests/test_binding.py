"""Argument binding and conversion: positional and keyword binding, the exact TypeError wording,
the argument-name prefix, scalar conversions and the PanicException type."""

import re

import numpy as np
import pytest

import vexlora
from conftest import assert_bits_equal, panic_type, ref_adjusted_difference

BAND = np.arange(12, dtype=np.uint16).reshape(3, 4)


def out():
    return np.zeros((3, 4), np.float32)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vexlora.calculate_ratio_inplace(BAND, BAND, out(), out()),
         "calculate_ratio_inplace() takes 3 positional arguments but 4 were given"),
        (lambda: vexlora.calculate_normalized_difference(BAND, BAND, BAND),
         "calculate_normalized_difference() takes 2 positional arguments but 3 were given"),
        (lambda: vexlora.compile_expr([], 0, x=1, y=2),
         "compile_expr() got an unexpected keyword argument 'x'"),
        (lambda: vexlora.compile_expr([], 0, 1),
         "compile_expr() takes 2 positional arguments but 3 were given"),
        (lambda: vexlora.calculate_ratio_inplace(BAND, BAND),
         "calculate_ratio_inplace() missing 1 required positional argument: 'out_buffer'"),
        (lambda: vexlora.calculate_ratio_inplace(BAND),
         "calculate_ratio_inplace() missing 2 required positional arguments: 'band_b' and 'out_buffer'"),
        (lambda: vexlora.calculate_ratio_inplace(),
         "calculate_ratio_inplace() missing 3 required positional arguments: 'band_a', 'band_b', and 'out_buffer'"),
        (lambda: vexlora.calculate_evi_inplace(BAND, BAND, BAND, 1, 2, 3),
         "calculate_evi_inplace() missing 2 required positional arguments: 'l' and 'out_buffer'"),
        (lambda: vexlora.calculate_ratio_inplace(BAND, BAND, out(), band_a=BAND),
         "calculate_ratio_inplace() got multiple values for argument 'band_a'"),
        (lambda: vexlora.calculate_ratio_inplace(BAND, BAND, bogus=1),
         "calculate_ratio_inplace() got an unexpected keyword argument 'bogus'"),
        (lambda: vexlora.calculate_ratio_inplace(BAND, BAND, OUT_BUFFER=out()),
         "calculate_ratio_inplace() got an unexpected keyword argument 'OUT_BUFFER'"),
        # too many positionals wins over a bad keyword; a bad keyword wins over a missing argument
        (lambda: vexlora.calculate_ratio_inplace(BAND, BAND, out(), out(), bogus=1),
         "calculate_ratio_inplace() takes 3 positional arguments but 4 were given"),
        (lambda: vexlora.execute_expr_inplace(bogus=1),
         "execute_expr_inplace() got an unexpected keyword argument 'bogus'"),
        (lambda: vexlora.calculate_normalized_difference(BAND, BAND, BAND, BAND),
         "calculate_normalized_difference() takes 2 positional arguments but 4 were given"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_every_parameter_binds_by_keyword_in_any_order(rng):
    bands = [rng.integers(0, 65536, (5, 6), dtype=np.uint16) for _ in range(3)]
    by_position, by_keyword = np.empty((5, 6), np.float32), np.empty((5, 6), np.float32)
    vexlora.calculate_evi_inplace(*bands, 2.5, 6.0, 7.5, 1.0, by_position)
    kwargs = dict(nir=bands[0], red=bands[1], blue=bands[2], g=2.5, c1=6.0, c2=7.5, l=1.0, out_buffer=by_keyword)
    vexlora.calculate_evi_inplace(**dict(reversed(list(kwargs.items()))))
    assert_bits_equal(by_keyword, by_position)

    mixed = np.empty((5, 6), np.float32)
    vexlora.calculate_adjusted_difference_inplace(bands[0], bands[1], out_buffer=mixed, l=0.5)
    assert_bits_equal(mixed, ref_adjusted_difference(bands[0], bands[1], 0.5))


class RaisingFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class TypeErrorSubclass(TypeError):
    pass


def chained_type_error():
    try:
        raise ValueError("root cause")
    except ValueError as cause:
        error = TypeError("no float form")
        error.__cause__ = cause
        return error


def test_failed_conversion_is_prefixed_and_keeps_the_cause():
    with pytest.raises(TypeError) as info:
        vexlora.calculate_adjusted_difference_inplace(BAND, BAND, RaisingFloat(chained_type_error()), out())
    assert str(info.value) == "argument 'l': no float form"
    assert isinstance(info.value.__cause__, ValueError)
    assert str(info.value.__cause__) == "root cause"


@pytest.mark.parametrize(
    "exc",
    [TypeErrorSubclass("subclass passes unchanged"), ValueError("value errors pass unchanged")],
)
def test_other_exception_types_pass_unprefixed(exc):
    with pytest.raises(type(exc)) as info:
        vexlora.calculate_adjusted_difference_inplace(BAND, BAND, RaisingFloat(exc), out())
    assert info.value is exc


def test_scalar_argument_errors():
    with pytest.raises(TypeError) as info:
        vexlora.calculate_adjusted_difference_inplace(BAND, BAND, "0.5", out())
    assert str(info.value) == "argument 'l': must be real number, not str"
    with pytest.raises(OverflowError) as info:
        vexlora.calculate_adjusted_difference_inplace(BAND, BAND, 10**400, out())
    assert not str(info.value).startswith("argument")
    with pytest.raises(TypeError, match=r"^argument 'c1': "):
        vexlora.calculate_evi_inplace(BAND, BAND, BAND, 1.0, None, 1.0, 1.0, out())


@pytest.mark.parametrize(
    "value, as_float32",
    [
        (1, 1.0), (True, 1.0), (np.float64(0.25), 0.25), (-1.0, -1.0), (1e300, np.inf), (-1e300, -np.inf),
        (0.1, np.float32(0.1)), (np.int32(3), 3.0),
    ],
)
def test_scalar_conversions_round_once_to_float32(value, as_float32):
    result = out()
    vexlora.calculate_adjusted_difference_inplace(BAND, BAND[::-1], value, result)
    assert_bits_equal(result, ref_adjusted_difference(BAND, BAND[::-1], np.float32(as_float32)))


@pytest.mark.parametrize(
    "num_bands, exc, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.0, TypeError, "argument 'num_bands': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'num_bands': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_num_bands_refusals(num_bands, exc, message):
    with pytest.raises(exc) as info:
        vexlora.compile_expr([], num_bands)
    assert type(info.value) is exc
    if message is None:
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value) == message


@pytest.mark.parametrize("num_bands, count", [(True, 1), (np.uint64(2), 2), (np.int8(3), 3), (2**64 - 1, None)])
def test_num_bands_integer_forms(num_bands, count):
    expr = vexlora.compile_expr([{"type": "push_scalar", "value": 4}], num_bands)
    if count is None:
        return  # only checks that the largest value converts
    result = out()
    vexlora.execute_expr_inplace(expr, [BAND] * count, result)
    assert (result == 4.0).all()
    with pytest.raises(ValueError, match=r"^Band count mismatch\.$"):
        vexlora.execute_expr_inplace(expr, [BAND] * (count + 1), result)


def test_expr_argument_must_be_compiled():
    with pytest.raises(TypeError) as info:
        vexlora.execute_expr_inplace({}, [], out())
    assert str(info.value) == "argument 'expr': 'dict' object cannot be converted to 'CompiledExpr'"


def test_panic_exception_type():
    panic = panic_type()
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__doc__.startswith("\n") and panic.__doc__.endswith("\n")
    assert "BaseException" in panic.__doc__

    read_only = out()
    read_only.flags.writeable = False
    with pytest.raises(BaseException) as info:
        try:
            vexlora.calculate_ratio_inplace(BAND, BAND, read_only)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    assert type(info.value) is panic
    assert str(info.value) == "called `Result::unwrap()` on an `Err` value: NotWriteable"
    assert info.value.args == ("called `Result::unwrap()` on an `Err` value: NotWriteable",)


def test_panic_writes_a_diagnostic_to_stderr(capfd):
    read_only = out()
    read_only.flags.writeable = False
    with pytest.raises(panic_type()):
        vexlora.calculate_normalized_difference_inplace(BAND, BAND, read_only)
    err = capfd.readouterr().err
    assert "NotWriteable" in err
    # The source position is relative to the source tree: the build machine's paths stay out.
    assert re.search(r"^thread '[^']*' panicked at src/[\w/]+\.[ch]pp:\d+:\d+:$", err, re.M), err


@pytest.mark.parametrize("keyword", ["x\x00y", "\udc80", "bänd_a"])
def test_unusual_keywords_are_named_unchanged(keyword):
    with pytest.raises(TypeError) as info:
        vexlora.calculate_ratio_inplace(BAND, BAND, **{keyword: 1})
    assert str(info.value) == f"calculate_ratio_inplace() got an unexpected keyword argument '{keyword}'"


def test_type_names_with_nul_reach_the_message_whole():
    odd = type("Odd", (), {})
    odd.__qualname__ = "Odd\x00Name"
    with pytest.raises(TypeError) as info:
        vexlora.calculate_ratio_inplace(odd(), BAND, out())
    assert str(info.value) == "argument 'band_a': 'Odd\x00Name' object cannot be converted to 'PyArray<T, D>'"
