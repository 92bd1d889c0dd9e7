"""compile_formula: formula text and an ordered list of band names to the postfix instruction list
of vexlora.compile_expr, or straight to a CompiledExpr."""

from __future__ import annotations

import numbers
import operator
import re
import sys
from collections.abc import Mapping, Sequence
from typing import Literal, SupportsIndex, overload

import vexlora

from ._emit import emit, nodata_mask
from ._encoding import EncodingArg, fold, resolve
from ._tree import names_in
from ._instructions import Instruction
from ._parser import parse
from ._tokens import is_multiline
from ._tree import FUNCTIONS

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


@overload
def compile_formula(
    text: str,
    bands: Sequence[str],
    *,
    constants: Mapping[str, float] | None = None,
    compile: Literal[False] = False,
    scale_factor: EncodingArg = None,
    add_offset: EncodingArg = None,
    nodata: EncodingArg = None,
) -> list[Instruction]: ...
@overload
def compile_formula(
    text: str,
    bands: Sequence[str],
    *,
    constants: Mapping[str, float] | None = None,
    compile: Literal[True],
    scale_factor: EncodingArg = None,
    add_offset: EncodingArg = None,
    nodata: EncodingArg = None,
) -> vexlora.CompiledExpr: ...
@overload
def compile_formula(
    text: str,
    bands: Sequence[str],
    *,
    constants: Mapping[str, float] | None = None,
    compile: bool,
    scale_factor: EncodingArg = None,
    add_offset: EncodingArg = None,
    nodata: EncodingArg = None,
) -> list[Instruction] | vexlora.CompiledExpr: ...


def compile_formula(
    text: str,
    bands: Sequence[str],
    *,
    constants: Mapping[str, float] | None = None,
    compile: bool = False,
    scale_factor: EncodingArg = None,
    add_offset: EncodingArg = None,
    nodata: EncodingArg = None,
) -> list[Instruction] | vexlora.CompiledExpr:
    """Compiles `text` for the bands named in `bands` (position = band index).

    Returns the instruction list for vexlora.compile_expr, or with compile=True the CompiledExpr
    for len(bands) bands. Names in the formula are bands or keys of `constants` (pushed as
    scalars). A malformed formula raises FormulaError (a ValueError) naming its place and token.

    With `scale_factor` / `add_offset` (a number for every band, or a mapping from band name to
    number), the formula is read on physical values DN x scale_factor + add_offset and the program
    computes on the stored DN, each linear part of the formula as exact integer arithmetic where it
    can be. With `nodata` (DN values), the result is NaN where any band the formula reads holds its
    nodata value and unchanged everywhere else.
    """
    if not isinstance(text, str):
        raise TypeError(f"formula must be a str, not {type(text).__name__}")
    positions = _band_positions(bands)
    if constants is None:
        constants = {}
    elif not isinstance(constants, Mapping):
        raise TypeError(f"constants must be a mapping of names to numbers, not {type(constants).__name__}")
    values = _constant_values(constants, positions)
    encodings = resolve(list(positions), scale_factor, add_offset, nodata)
    tree = parse(text)
    # Nodata follows the bands the formula names, even where folding cancels one out of the program.
    named = names_in(tree)
    if any(e.scale_factor != 1 or e.add_offset != 0 for e in encodings.values()):
        tree = fold(tree, frozenset(positions), values, encodings)
    program = emit(tree, positions, values, multiline=is_multiline(text))
    masked = {positions[b]: e.nodata for b, e in encodings.items() if e.nodata is not None and b in named}
    if masked:
        program = nodata_mask(program, dict(sorted(masked.items())))
    if compile:
        return vexlora.compile_expr(program, len(positions))
    return program


def _check_name(name: object, what: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{what} names must be str, not {type(name).__name__}")
    if not _IDENTIFIER.fullmatch(name) or name in FUNCTIONS:
        raise ValueError(f"{name!r} cannot be a {what} name: use letters, digits and '_', not abs or sqrt")
    return name


def _band_positions(bands: Sequence[str]) -> dict[str, int]:
    if isinstance(bands, str):
        raise TypeError("bands must be a sequence of band names, not a str")
    if not isinstance(bands, Sequence):
        # A set's order, so the band positions, would change from one process to the next. A dict
        # or its keys is ordered but reads as a mapping to something else: list() says which.
        raise TypeError(f"bands must be a sequence of band names in band order, not {type(bands).__name__}")
    positions: dict[str, int] = {}
    for index, name in enumerate(bands):
        if _check_name(name, "band") in positions:
            raise ValueError(f"band {name!r} is named twice")
        positions[name] = index
    return positions


def _constant_values(constants: Mapping[str, float], bands: Mapping[str, int]) -> dict[str, float]:
    values: dict[str, float] = {}
    for name, value in constants.items():
        if _check_name(name, "constant") in bands:
            raise ValueError(f"{name!r} is both a band and a constant")
        values[name] = _real(name, value)
    return values


def _real(name: str, value: object) -> float:
    """`value` as a float: a numbers.Real, an integer by __index__, or a NumPy bool like bool."""
    number: numbers.Real | int
    if isinstance(value, numbers.Real):
        number = value
    elif _is_numpy_bool(value):
        number = bool(value)
    elif isinstance(value, SupportsIndex):
        number = operator.index(value)
    else:
        raise TypeError(f"constant {name!r} must be a real number, not {type(value).__name__}")
    try:
        return float(number)
    except OverflowError as error:  # an int or Fraction beyond the double range, such as 10**400
        what = f"constant {name!r} must be a real number that a float can hold"
        raise TypeError(f"{what}, not {type(value).__name__} out of range ({error})") from None


def _is_numpy_bool(value: object) -> bool:
    # NumPy's bool is not a numbers.Real (and has no __index__ in NumPy 2), but stands for 0 or 1
    # as bool does. Such a value means NumPy is loaded already: look it up, never import it.
    numpy = sys.modules.get("numpy")
    return numpy is not None and isinstance(value, numpy.bool_)
