"""load_catalogue: the Awesome Spectral Indices catalogue and its constants file as a Catalogue of
SpectralIndex entries, on this package's band names, formulas written as NumPy evaluates them."""

from __future__ import annotations

import importlib.util
import json
import os
import re
from collections.abc import Mapping
from pathlib import Path
from types import MappingProxyType
from typing import Any

from ._compile import compile_formula
from ._parser import parse
from ._tree import Binary, Call, Name, Node, Number, Unary
from .catalogue import Catalogue, SpectralIndex

# The community's band symbols and the band names they read here (centre wavelengths in MORE_BANDS).
COMMUNITY_BANDS: Mapping[str, str] = MappingProxyType({
    "A": "coastal", "B": "blue", "G": "green", "G1": "green1", "Y": "yellow", "R": "red",
    "RE1": "rededge", "RE2": "rededge2", "RE3": "rededge3", "N": "nir", "N2": "nir2", "WV": "watervapour",
    "S1": "swir1", "S2": "swir2", "T": "thermal", "T1": "thermal1", "T2": "thermal2",
})
_RADAR = frozenset({"VV", "VH", "HH", "HV"})
_KERNEL = re.compile(r"k[A-Z][A-Z0-9]?[A-Z][A-Z0-9]?")  # k(a, b) of two symbols, such as kNN or kNL
# How tightly each node binds when written out; a power binds tighter than a sign on its left.
_SUM, _PRODUCT, _SIGN, _POWER, _ATOM = range(5)
_INDICES_FILE = "spectral-indices-dict.json"
_CONSTANTS_FILE = "constants.json"

Source = str | os.PathLike[str] | Mapping[str, Any] | None


class _Unservable(Exception):
    """Why one index cannot be computed from uint16 bands here."""


def load_catalogue(source: Source = None, *, constants: Source = None) -> Catalogue:
    """The community catalogue from `source`: the path of its JSON file (or of the folder holding
    spectral-indices-dict.json), an already parsed mapping, or None for the copy inside the installed
    spyndex package. Constant defaults come from `constants` (a path or parsed mapping of the
    community's constants file), else from constants.json beside the indices file; a constant that
    has no default (every constant, without such a file) must be given by each call. Indices that
    cannot be served are in `unservable`, with the reason."""
    indices, beside = _read_indices(source)
    table = _read_constants(constants if constants is not None else beside)
    entries: list[SpectralIndex] = []
    unservable: dict[str, str] = {}
    for name, record in indices.items():
        try:
            entries.append(_entry(str(name), record, table))
        except _Unservable as why:
            unservable[str(name)] = str(why)
    return Catalogue(entries, unservable)


def _read_indices(source: Source) -> tuple[Mapping[str, Any], Path | None]:
    if source is None:
        module = importlib.util.find_spec("spyndex")
        if module is None or not module.submodule_search_locations:
            raise FileNotFoundError(
                "load_catalogue() without a source reads the copy inside spyndex, which is not installed: "
                f"pip install spyndex, or pass the path of {_INDICES_FILE}"
            )
        source = Path(list(module.submodule_search_locations)[0]) / "data" / _INDICES_FILE
    if isinstance(source, Mapping):
        data: Any = source
        beside = None
    else:
        path = Path(source)
        if path.is_dir():
            path = path / _INDICES_FILE
        data = _read_json(path)
        beside = path.parent / _CONSTANTS_FILE
        beside = beside if beside.is_file() else None
    if isinstance(data, Mapping) and isinstance(data.get("SpectralIndices"), Mapping):
        data = data["SpectralIndices"]
    if not isinstance(data, Mapping):
        raise TypeError(f"the catalogue must be a mapping of index names to records, not {type(data).__name__}")
    return data, beside


def _read_json(path: Path) -> Any:
    with open(path, encoding="utf-8") as file:
        return json.load(file)


def _read_constants(source: Source) -> dict[str, tuple[float | None, str]]:
    """Each constant's default (None: none) and description."""
    if source is None:
        return {}
    data = source if isinstance(source, Mapping) else _read_json(Path(source))
    if not isinstance(data, Mapping):
        raise TypeError(f"the constants must be a mapping of names to records, not {type(data).__name__}")
    table: dict[str, tuple[float | None, str]] = {}
    for name, record in data.items():
        value = record.get("default") if isinstance(record, Mapping) else record
        description = str(record.get("description", "")) if isinstance(record, Mapping) else ""
        if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))):
            raise TypeError(f"the default of constant {name!r} must be a number or null, not {value!r}")
        table[str(name)] = (None if value is None else float(value), description)
    return table


def _entry(name: str, record: Any, table: Mapping[str, tuple[float | None, str]]) -> SpectralIndex:
    if not isinstance(record, Mapping) or not isinstance(record.get("formula"), str):
        raise _Unservable("its record has no formula")
    rename: dict[str, str] = {}
    defaults: dict[str, float] = {}
    required: dict[str, str] = {}
    for symbol in record.get("bands", ()):
        symbol = str(symbol)
        if symbol in COMMUNITY_BANDS:
            rename[symbol] = COMMUNITY_BANDS[symbol]
        elif symbol in _RADAR:
            raise _Unservable(f"it reads radar backscatter ({symbol}), which is not stored as uint16 DN with a linear encoding")
        elif symbol in table:
            default, description = table[symbol]
            if default is None:
                required[symbol] = description
            else:
                defaults[symbol] = default
        elif _KERNEL.fullmatch(symbol):
            raise _Unservable(f"it reads the kernel value {symbol}, a function of two bands rather than a band")
        elif not table:  # no constants file: every other symbol is a constant the caller gives
            required[symbol] = ""
        else:
            raise _Unservable(f"it reads {symbol!r}, which is neither a band known here nor a constant with a record")
    bands = tuple(dict.fromkeys(rename.values()))
    try:
        formula = _text(_as_numpy(parse(record["formula"]), rename))
        compile_formula(formula, bands, constants={**defaults, **dict.fromkeys(required, 1.0)})
    except (ValueError, TypeError) as error:
        raise _Unservable(f"its formula does not compile here: {error}") from None
    return SpectralIndex(
        name, str(record.get("long_name", name)), formula, bands, str(record.get("reference", "")),
        MappingProxyType(defaults), MappingProxyType(required),
    )


def _as_numpy(node: Node, rename: Mapping[str, str]) -> Node:
    """`node` with its band symbols renamed, and written as NumPy computes the community's formulas on
    arrays: a power by the number 2 as the base times itself, by 0.5 as its square root (NumPy's own
    shortcuts, exact where powf is slower and may differ in the last bit)."""
    if isinstance(node, Name):
        return Name(rename.get(node.name, node.name), node.line, node.column)
    if isinstance(node, Unary):
        return Unary(node.op, _as_numpy(node.operand, rename), node.line, node.column)
    if isinstance(node, Call):
        return Call(node.function, _as_numpy(node.argument, rename), node.line, node.column)
    if isinstance(node, Binary):
        left = _as_numpy(node.left, rename)
        if node.op == "**" and isinstance(node.right, Number) and node.right.value in (2.0, 0.5):
            if node.right.value == 2.0:
                return Binary("*", left, left, node.line, node.column)
            return Call("sqrt", left, node.line, node.column)
        return Binary(node.op, left, _as_numpy(node.right, rename), node.line, node.column)
    return node


def _binding(node: Node) -> int:
    if isinstance(node, Binary):
        return {"+": _SUM, "-": _SUM, "*": _PRODUCT, "/": _PRODUCT, "**": _POWER}[node.op]
    return _SIGN if isinstance(node, Unary) else _ATOM


def _text(node: Node) -> str:
    """Formula text that parses back to `node`: parentheses only where the order needs them."""
    if isinstance(node, Number):
        return node.text
    if isinstance(node, Name):
        return node.name
    if isinstance(node, Call):
        return f"{node.function}({_text(node.argument)})"
    if isinstance(node, Unary):
        return node.op + _wrap(node.operand, _binding(node.operand) < _SIGN)
    assert isinstance(node, Binary)
    level = _binding(node)
    if node.op == "**":  # right-associative; a signed exponent needs no parentheses
        left, right = _binding(node.left) <= _POWER, _binding(node.right) < _SIGN
    else:  # left-associative: a right operand at the same level keeps its parentheses (and its order)
        left, right = _binding(node.left) < level, _binding(node.right) <= level
    return f"{_wrap(node.left, left)} {node.op} {_wrap(node.right, right)}"


def _wrap(node: Node, parenthesise: bool) -> str:
    return f"({_text(node)})" if parenthesise else _text(node)
