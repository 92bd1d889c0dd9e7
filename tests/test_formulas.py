"""Tests of the formula compiler: postfix programs derived by hand, Python's precedence and
associativity, literals, constants, errors with their column and token, and argument checks."""

import copy
import math
import pickle
import sys

import numpy as np
import pytest

import vexlora
from conftest import assert_bits_equal, random_band, ref_ratio
from vexlora_formulas import FormulaError, compile_formula

BANDS = ["a", "b", "c", "nir", "red"]


def postfix(words):
    """A program written by hand: band names push bands, numbers push scalars, other words are ops."""
    program = []
    for word in words.split():
        if word in BANDS:
            program.append({"type": "push_band", "index": BANDS.index(word)})
        elif word[0].isdigit():
            program.append({"type": "push_scalar", "value": float(word)})
        else:
            program.append({"type": word})
    return program


@pytest.mark.parametrize(
    "formula, words",
    [
        ("a", "a"),
        ("a - b - c", "a b sub c sub"),
        ("a - (b - c)", "a b c sub sub"),
        ("1 / 2 / 3", "1 2 div 3 div"),
        ("a / b * c", "a b div c mul"),
        ("a + b * c", "a b c mul add"),
        ("(a + b) * c", "a b add c mul"),
        ("a * b + c * a", "a b mul c a mul add"),
        ("a ** b ** c", "a b c pow pow"),
        ("-a**2", "a 2 pow neg"),
        ("2**-1", "2 1 neg pow"),
        ("a ** -b ** -c", "a b c neg pow neg pow"),
        ("-a * b", "a neg b mul"),
        ("a * -b ** c", "a b c pow neg mul"),
        ("--a", "a neg neg"),
        ("a - -b", "a b neg sub"),
        ("+a - +b", "a b sub"),
        ("(-a) ** 2", "a neg 2 pow"),
        ("abs(a - b) / sqrt(c)", "a b sub abs c sqrt div"),
        ("sqrt(-a ** 2)", "a 2 pow neg sqrt"),
        ("(nir - red) / (nir + red)", "nir red sub nir red add div"),
        (
            "2.5 * (nir - red) / (nir + 6 * red - 7.5 * c + 1)",
            "2.5 nir red sub mul nir 6 red mul add 7.5 c mul sub 1 add div",
        ),
        ("\ta\n+ b ", "a b add"),
    ],
)
def test_postfix_order_follows_python_precedence(formula, words):
    assert compile_formula(formula, BANDS) == postfix(words)


@pytest.mark.parametrize(
    "literal, value",
    [("7", 7.0), ("007", 7.0), ("0.1", 0.1), (".25", 0.25), ("3.", 3.0), ("1e3", 1e3), ("2.5E-3", 2.5e-3),
     ("1e+2", 100.0), ("1e400", math.inf)],
)
def test_numeric_literals_are_read_as_doubles(literal, value):
    assert compile_formula(literal, []) == [{"type": "push_scalar", "value": value}]


def test_band_positions_and_constants():
    program = compile_formula("L * red - nir / L", ("nir", "red"), constants={"L": 0.5})
    assert program == [
        {"type": "push_scalar", "value": 0.5}, {"type": "push_band", "index": 1}, {"type": "mul"},
        {"type": "push_band", "index": 0}, {"type": "push_scalar", "value": 0.5}, {"type": "div"}, {"type": "sub"},
    ]


@pytest.mark.parametrize(
    "formula, message, token, column",
    [
        ("", "unexpected end of formula at column 1", "", 1),
        ("nir +", "unexpected end of formula at column 6", "", 6),
        ("nir red", "unexpected token 'red' at column 5", "red", 5),
        ("(nir - red))", "unexpected token ')' at column 12", ")", 12),
        (" nir\t+ )", "unexpected token ')' at column 8", ")", 8),
        ("*nir", "unexpected token '*' at column 1", "*", 1),
        ("nir ** * red", "unexpected token '*' at column 8", "*", 8),
        ("(nir - red", "unclosed '(' at column 1", "(", 1),
        ("sqrt(nir", "unclosed '(' at column 5", "(", 5),
        ("abs(nir, red)", "unexpected token ',' at column 8", ",", 8),
        ("nir $ red", "invalid character '$' at column 5", "$", 5),
        ("nir.real", "invalid character '.' at column 4", ".", 4),
        ("__import__('os')", "invalid character ''' at column 12", "'", 12),
        ("nir - 1e", "malformed number '1e' at column 7", "1e", 7),
        ("2nir", "malformed number '2nir' at column 1", "2nir", 1),
        ("1.2.3", "malformed number '1.2.3' at column 1", "1.2.3", 1),
        ("nir - blue", "unknown name 'blue' at column 7", "blue", 7),
        ("log(nir)", "unknown function 'log' at column 1", "log", 1),
        ("sqrt nir", "expected '(' after 'sqrt', got 'nir' at column 6", "nir", 6),
        ("abs", "expected '(' after 'abs', got end of formula at column 4", "", 4),
    ],
)
def test_errors_name_column_and_token(formula, message, token, column):
    with pytest.raises(FormulaError) as info:
        compile_formula(formula, ["nir", "red"])
    assert isinstance(info.value, ValueError)
    assert (str(info.value), info.value.token, info.value.column) == (message, token, column)


@pytest.mark.parametrize(
    "formula, message, token, line, column",
    [
        ("nir +\n  red $", "invalid character '$' at line 2, column 7", "$", 2, 7),
        ("(nir\r\n - blue)", "unknown name 'blue' at line 2, column 4", "blue", 2, 4),
        ("nir -\r(red", "unclosed '(' at line 2, column 1", "(", 2, 1),
        ("nir +\n", "unexpected end of formula at line 2, column 1", "", 2, 1),
        ("sqrt\n\n\tnir", "expected '(' after 'sqrt', got 'nir' at line 3, column 2", "nir", 3, 2),
        ("red\f+ " + "b" * 10**6, f"unknown name '{'b' * 40}... (1000000 characters)' at column 7", "b" * 10**6, 1, 7),
        ("(" * 101 + "\n" + "1" * 51, f"nesting deeper than 100 levels at token '{'1' * 40}... (51 characters)' "
         "at line 2, column 1", "1" * 51, 2, 1),
    ],
)
def test_errors_name_the_line_and_cut_long_tokens(formula, message, token, line, column):
    with pytest.raises(FormulaError) as info:
        compile_formula(formula, ["nir", "red"])
    assert (str(info.value), info.value.token, info.value.line, info.value.column) == (message, token, line, column)


def test_constant_values_and_names():
    # NumPy's bool stands for 0 or 1 as bool does; the rest are refused with the documented TypeError.
    assert compile_formula("k", [], constants={"k": np.bool_(True)}) == [{"type": "push_scalar", "value": 1.0}]
    for constants, message in [
        ({"k": 10**400}, r"^constant 'k' must be a real number that a float can hold, not int out of range"),
        ({"k": [1.0]}, r"^constant 'k' must be a real number, not list$"),
        ({"k": 1.0, 2: 1.0}, r"^constant names must be str, not int$"),
    ]:
        with pytest.raises(TypeError, match=message):
            compile_formula("k", [], constants=constants)


def test_stack_limit_of_64_values():
    ones = np.ones((2, 3), np.uint16)
    out = np.zeros((2, 3), np.float32)
    deepest = "(a + " * 63 + "a" + ")" * 63  # 64 values pending before the first add
    vexlora.execute_expr_inplace(compile_formula(deepest, ["a"], compile=True), [ones], out)
    assert (out == 64).all()
    with pytest.raises(FormulaError, match=r"^formula needs more than 64 stack entries at token 'a' at column 321$"):
        compile_formula("(a + " * 64 + "a" + ")" * 64, ["a"])


def test_long_chains_and_deep_nesting_do_not_exhaust_the_interpreter():
    ones = np.ones((1, 2), np.uint16)
    out = np.zeros((1, 2), np.float32)
    vexlora.execute_expr_inplace(compile_formula(" + ".join(["a"] * 3000), ["a"], compile=True), [ones], out)
    assert (out == 3000).all()
    assert compile_formula("(" * 100 + "a" + ")" * 100, ["a"]) == [{"type": "push_band", "index": 0}]
    for formula in ("(" * 1000 + "a" + ")" * 1000, "-" * 1000 + "a", "**".join(["a"] * 1000)):
        with pytest.raises(FormulaError, match="nesting deeper than 100 levels"):
            compile_formula(formula, ["a"])


def test_compiled_program_takes_all_listed_bands(rng):
    bands = [random_band(rng, (5, 7)) for _ in range(3)]
    expr = compile_formula("red / nir", ["nir", "green", "red"], compile=True)
    assert isinstance(expr, vexlora.CompiledExpr)
    out = np.full((5, 7), np.nan, np.float32)
    vexlora.execute_expr_inplace(expr, bands, out)
    assert_bits_equal(out, ref_ratio(bands[2], bands[0]))
    with pytest.raises(ValueError, match="Band count mismatch"):
        vexlora.execute_expr_inplace(expr, bands[:2], out)


@pytest.mark.parametrize(
    "text, bands, constants, error",
    [
        ("a", "a", None, TypeError),
        (b"a", ["a"], None, TypeError),
        ("a", ["a", "a"], None, ValueError),
        ("a", ["a", 1], None, TypeError),
        ("a", ["a", "2b"], None, ValueError),
        ("a", ["a", "sqrt"], None, ValueError),
        ("a", ["a"], {"a": 1.0}, ValueError),
        ("a", ["a"], {"k-1": 1.0}, ValueError),
        ("a", ["a"], {"k": "1.5"}, TypeError),
        # Unordered or one-pass bands, and constants that are not a mapping, are refused.
        ("a", {"a", "b"}, None, TypeError),
        ("a", frozenset({"a"}), None, TypeError),
        ("a", {"a": 0}.keys(), None, TypeError),
        ("a", (name for name in ["a"]), None, TypeError),
        ("a", ["a"], [], TypeError),
        ("a", ["a"], 0, TypeError),
        ("a", ["a"], [("k", 1.0)], TypeError),
    ],
)
def test_bad_arguments(text, bands, constants, error):
    with pytest.raises(error):
        compile_formula(text, bands, constants=constants)


def test_formula_errors_survive_pickle_and_copy():
    # A worker process sends its exception back pickled; copying goes through the same reduction.
    with pytest.raises(FormulaError) as info:
        compile_formula("nir -\n blue", ["nir", "red"])
    error = info.value
    error.add_note("while compiling NDVI")
    for clone in (pickle.loads(pickle.dumps(error)), copy.copy(error), copy.deepcopy(error)):
        assert type(clone) is FormulaError
        assert (str(clone), clone.token, clone.line, clone.column, clone.__notes__) == (
            "unknown name 'blue' at line 2, column 2", "blue", 2, 2, ["while compiling NDVI"])


def nested(units, levels):
    """`a` inside `levels` units such as "(" or "a**" (each one level deeper), and the column of `a`."""
    prefix = "".join(units[i % len(units)] for i in range(levels))
    return prefix + "a" + ")" * prefix.count("("), len(prefix) + 1


def at_depth(frames, call):
    """call() from `frames` Python frames deeper than the caller."""
    return call() if frames == 0 else at_depth(frames - 1, call)


@pytest.mark.parametrize("units", [["("], ["-"], ["abs("], ["-", "(", "+", "a**", "sqrt("]])
def test_nesting_limit_is_exact_from_a_deep_caller(units):
    # Nesting is bounded by the documented limit alone, however few frames the caller left over.
    frames, frame = 0, sys._getframe()
    while frame is not None:
        frames, frame = frames + 1, frame.f_back
    deep = sys.getrecursionlimit() - frames - 30

    def compile_both():
        compile_formula(nested(units, 100)[0], ["a"])
        with pytest.raises(FormulaError) as info:
            compile_formula(nested(units, 101)[0], ["a"])
        return info.value

    error = at_depth(deep, compile_both)
    column = nested(units, 101)[1]
    assert (str(error), error.token, error.column) == (
        f"nesting deeper than 100 levels at token 'a' at column {column}", "a", column)
