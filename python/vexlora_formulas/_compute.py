"""compute_index and compute_formula: an index from named bands as products store them (NumPy,
dask or xarray; encoding and nodata from the call, a sensor preset or the arrays' attributes)."""

from __future__ import annotations

import functools
import math
import numbers
import operator
from fractions import Fraction
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import vexlora

from . import _messages as msg
from . import _xarray
from ._arrays import Band, band, check_out, check_shapes, is_dataarray, is_dataset, unsigned
from ._compile import compile_formula
from ._encoding import EncodingArg, exact, fill_value, number
from ._errors import ComputeError
from ._tree import names_in
from .catalogue import BANDS, MORE_BANDS, SpectralIndex, get_index
from .sensors import SENSORS as _PRESETS
from .sensors import Sensor, get_sensor


class ProgramKey(NamedTuple):
    """Everything the compiled program depends on, floats by their exact bits: hashable, picklable."""

    formula: str
    bands: tuple[str, ...]
    constants: tuple[tuple[str, str], ...]  # (name, float.hex)
    encodings: tuple[tuple[str, str, int | None], ...]  # per band: scale hex, exact offset "p/q", nodata DN


# Large enough for every index of the community catalogue (about 270) under a few encodings at once.
@functools.lru_cache(maxsize=1024)
def program(key: ProgramKey) -> vexlora.CompiledExpr:
    """The CompiledExpr of `key`, built once per process (so once per dask worker process)."""
    encodings = dict(zip(key.bands, key.encodings))
    return compile_formula(
        key.formula,
        key.bands,
        constants={name: float.fromhex(value) for name, value in key.constants},
        compile=True,
        scale_factor={b: float.fromhex(e[0]) for b, e in encodings.items()},
        add_offset={b: Fraction(e[1]) for b, e in encodings.items()},
        nodata={b: e[2] for b, e in encodings.items()},
    )


def compute_index(
    name: str | SpectralIndex,
    out: npt.NDArray[np.float32] | None = None,
    *,
    constants: Mapping[str, float] | None = None,
    scale_factor: EncodingArg = None,
    add_offset: EncodingArg = None,
    nodata: EncodingArg = None,
    sensor: str | Sensor | None = None,
    data: Any = None,
    **bands: Any,
) -> Any:
    """Computes the catalogue index `name` from uint16 DN bands and returns it (in `out` if given).

    Bands are keywords (catalogue band names, or a sensor preset's band names) or the variables of
    `data` (a Dataset, a (band, y, x) DataArray with named bands, or a mapping). NumPy in, NumPy out;
    xarray in, a DataArray out; dask-backed in, a lazy result. The index is the published formula on
    physical values DN x scale_factor + add_offset (numbers, or mappings by band), taken from the
    call, else `sensor`, else the arrays' attributes; NaN where any band it reads equals `nodata`.
    """
    entry = name if isinstance(name, SpectralIndex) else get_index(name)
    given = _constants(constants)
    unknown = sorted(set(given) - set(entry.constants) - set(entry.required), key=repr)
    if unknown:
        known = ", ".join([*entry.constants, *entry.required]) or "none"
        raise ValueError(msg.UNKNOWN_CONSTANT.format(label=entry.name, name=unknown[0], known=known))
    missing = [name for name in entry.required if name not in given]
    if missing:
        what = ", ".join(f"{n!r} ({entry.required[n]})" if entry.required[n] else repr(n) for n in missing)
        raise TypeError(msg.CONSTANT_WITHOUT_DEFAULT.format(label=entry.name, what=what))
    call = _Call("compute_index", entry.name, entry.formula, entry.bands, {**entry.constants, **given}, sensor)
    return call.run(out, data, bands, (scale_factor, add_offset, nodata), entry.long_name)


def compute_formula(
    formula: str,
    out: npt.NDArray[np.float32] | None = None,
    *,
    constants: Mapping[str, float] | None = None,
    scale_factor: EncodingArg = None,
    add_offset: EncodingArg = None,
    nodata: EncodingArg = None,
    sensor: str | Sensor | None = None,
    data: Any = None,
    **bands: Any,
) -> Any:
    """compute_index for a formula of your own: its names are bands given as arrays or `constants`."""
    from ._parser import parse

    values = _constants(constants)
    needed = tuple(n for n in names_in(parse(formula)) if n not in values)
    if not needed:
        raise TypeError(msg.NO_BANDS.format(formula=formula))
    call = _Call("compute_formula", formula, formula, needed, values, sensor)
    return call.run(out, data, bands, (scale_factor, add_offset, nodata), None)


def _constants(constants: object) -> dict[str, Any]:
    if constants is None:
        return {}
    if not isinstance(constants, Mapping):
        raise TypeError(msg.CONSTANTS_TYPE.format(type=type(constants).__name__))
    return dict(constants)


class _Call:
    """One call: gathers its bands, resolves their encodings, then runs eagerly or lazily."""

    def __init__(self, call: str, label: str, formula: str, needed: tuple[str, ...], constants: dict[str, Any],
                 sensor: str | Sensor | None) -> None:
        self.call, self.label, self.formula, self.needed = call, label, formula, needed
        self.constants = constants
        self.sensor = None if sensor is None else get_sensor(sensor)

    def _resolve(self, keyword: str, strict: bool) -> tuple[str, ...]:
        """The catalogue (or formula) band names that `keyword` stands for; none for a band that
        nothing here uses (a preset's product band may stand for two, such as Landsat's NIR)."""
        if self.sensor is not None and keyword in self.sensor.bands:
            return self.sensor.bands[keyword]
        if keyword in _BAND_NAMES or keyword in self.needed:
            return (keyword,)
        if not strict:
            return ()
        usable = _BAND_NAMES | set(self.needed)
        names = ", ".join(sorted(usable | set(self.sensor.bands if self.sensor else ())))
        raise TypeError(msg.UNEXPECTED_KEYWORD.format(call=self.call, keyword=keyword, names=names))

    def _gather(self, data: Any, keywords: dict[str, Any]) -> dict[str, tuple[str, Any]]:
        found: dict[str, tuple[str, Any]] = {}
        for strict, items in ((False, _xarray.members(data)), (True, list(keywords.items()))):
            by_keyword: dict[str, str] = {}  # keywords override data=, but not one another
            for keyword, obj in items:
                for name in self._resolve(str(keyword), strict):
                    if strict and name in by_keyword:
                        raise TypeError(msg.BAND_TWICE.format(call=self.call, name=name, first=by_keyword[name],
                                                              second=keyword))
                    by_keyword[name] = str(keyword)
                    found[name] = (str(keyword), obj)
        return found

    def run(self, out: Any, data: Any, keywords: dict[str, Any], encoding: tuple[EncodingArg, ...], long_name: str | None) -> Any:
        found = self._gather(data, keywords)
        missing = [n for n in self.needed if n not in found]
        if missing:
            raise TypeError(msg.MISSING_BANDS.format(call=self.call, label=self.label, missing=", ".join(map(repr, missing))))
        bands = [band(name, *found[name]) for name in self.needed]
        shape = check_shapes(bands)
        _xarray.check_grids(bands)
        constants = _constant_key(self.constants)
        key = ProgramKey(self.formula, self.needed, constants, self._encodings(bands, encoding, constants))
        if any(b.is_dask for b in bands):
            if out is not None:
                raise TypeError(msg.OUT_WITH_DASK)
            result: Any = _xarray.lazy(key, bands)
        else:
            result = _eager(key, bands, shape, out)
        return _xarray.wrap(result, bands, self.label, long_name)

    def _encodings(
        self, bands: list[Band], given: tuple[EncodingArg, ...], constants: tuple[tuple[str, str], ...]
    ) -> tuple[tuple[str, str, int | None], ...]:
        """Per band: the call's own encoding, else the sensor preset's, else the array's attributes.
        Remembered by the exact values it depends on, so that repeated calls on blocks cost little."""
        signature = self._signature(bands, given, constants)
        rows = _ENCODINGS.get(signature) if signature is not None else None
        if rows is None:
            rows = self._resolve_encodings(bands, given, constants)
            if signature is not None:
                if len(_ENCODINGS) >= 1024:
                    _ENCODINGS.clear()
                _ENCODINGS[signature] = rows
        return rows

    def _signature(
        self, bands: list[Band], given: tuple[EncodingArg, ...], constants: tuple[tuple[str, str], ...]
    ) -> tuple[Any, ...] | None:
        """What the encodings depend on, numbers by type and exact bits; None if not all are plain."""
        preset = self.sensor
        if preset is not None and _PRESETS.get(preset.name) is not preset:
            return None
        try:
            args = tuple(_exact(a) for a in given)
        except _Unkeyed:
            return None
        per_band = tuple((b.name, b.keyword, b.signed, _exact(b.attrs_scale), _exact(b.attrs_offset),
                          _exact(b.attrs_nodata)) for b in bands)
        return (self.formula, self.needed, constants, preset and preset.name, args, per_band)

    def _resolve_encodings(
        self, bands: list[Band], given: tuple[EncodingArg, ...], constants: tuple[tuple[str, str], ...]
    ) -> tuple[tuple[str, str, int | None], ...]:
        scales, offsets, fills = (_by_band(arg, bands) for arg in given)
        preset = self.sensor
        # Readers write scale_factor 1 and add_offset 0 for a file that says nothing: that tells nothing.
        known = [
            preset is not None or b.name in scales or b.name in offsets
            or b.attrs_scale not in (None, 1.0) or b.attrs_offset not in (None, 0.0)
            for b in bands
        ]
        if any(known) and not all(known):
            unknown = ", ".join(repr(b.keyword) for b, k in zip(bands, known) if not k)
            raise TypeError(msg.PARTLY_ENCODED.format(label=self.label, unknown=unknown))
        scale_free = _scale_free(self.formula, self.needed, constants)
        if not any(known) and not scale_free:
            raise TypeError(msg.NEEDS_ENCODING.format(label=self.label))
        rows = []
        for b in bands:
            rows.append(_encoding_row(
                b,
                _first(scales.get(b.name), preset and preset.scale_factor, b.attrs_scale, 1.0),
                _first(offsets.get(b.name), preset and preset.add_offset, b.attrs_offset, 0.0),
                _first(fills.get(b.name), preset and preset.nodata, b.attrs_nodata, None),
            ))
        if scale_free and len({(scale, offset) for scale, offset, _ in rows}) == 1 and Fraction(rows[0][1]) == 0:
            # One scale and no offset cancel out of such a formula: compute it on the DN as written.
            rows = [((1.0).hex(), offset, fill) for _, offset, fill in rows]
        return tuple(rows)


_BAND_NAMES = frozenset(BANDS) | frozenset(MORE_BANDS)
_ENCODINGS: dict[tuple[Any, ...], tuple[tuple[str, str, int | None], ...]] = {}


class _Unkeyed(Exception):
    """A value that _exact does not key: its call resolves its encodings afresh."""


def _exact(value: Any) -> Any:
    """`value` as a key that tells 0.0 from -0.0 and 1 from 1.0; mappings by their items in order."""
    kind = type(value)
    if value is None or kind is int or kind is str:
        return (kind.__name__, value)
    if kind is float:
        return ("float", value.hex())
    if isinstance(value, Mapping):
        return ("mapping", tuple((_exact(k), _exact(v)) for k, v in value.items()))
    raise _Unkeyed


def _first(*values: Any) -> Any:
    """The first value that is not None; the last one is the default."""
    return next((v for v in values[:-1] if v is not None), values[-1])


def _by_band(arg: EncodingArg, bands: list[Band]) -> dict[str, Any]:
    if arg is None:
        return {}
    if isinstance(arg, Mapping):
        names = {b.name for b in bands}
        result: dict[str, Any] = {}
        for key, value in arg.items():
            # A product band may stand for two names (Landsat's SR_B5 is nir and nir2): all of them.
            targets = [b.name for b in bands if b.keyword == key] or ([key] if key in names else [])
            if not targets:
                raise ValueError(f"encoding names {key!r}, which is not a band of this call")
            result.update(dict.fromkeys(targets, value))
        return result
    return {b.name: arg for b in bands}


def _encoding_row(b: Band, scale: Any, offset: Any, fill: Any) -> tuple[str, str, int | None]:
    """One band's (scale, exact offset, fill DN) as the program sees its values."""
    checked_scale = number(scale, "scale_factor", b.keyword)
    shift = exact(number(offset, "add_offset", b.keyword))
    dn = None if fill is None else fill_value(fill, b.keyword, str(b.data.dtype))
    assert shift is not None
    if b.signed:  # stored v is read as v + 32768: move the offset and the fill value with it, exactly
        shift -= 32768 * exact(checked_scale)  # type: ignore[operator]
        dn = None if dn is None else dn + 32768
    return (float(checked_scale).hex(), str(shift), dn)


def _constant_key(constants: Mapping[str, Any]) -> tuple[tuple[str, str], ...]:
    """Each constant by the exact bits of its double (0.0 and -0.0 differ), sorted by name."""
    items = []
    for name, value in constants.items():
        try:
            if not isinstance(value, numbers.Real):
                raise TypeError(value)
            items.append((str(name), float(value).hex()))
        except (TypeError, OverflowError):
            compile_formula("0", [], constants={name: value})  # raises the formula layer's own message
            items.append((str(name), float(value).hex()))  # a value it accepts, such as NumPy's bool
    return tuple(sorted(items))


@functools.lru_cache(maxsize=1024)
def _scale_free(formula: str, bands: tuple[str, ...], constants: tuple[tuple[str, str], ...]) -> bool:
    """Whether the formula's value stays the same when every band is multiplied by one factor."""
    values = {name: float.fromhex(value) for name, value in constants}
    instructions = compile_formula(formula, bands, constants=values)
    for base in (0.11, 0.29):
        x = [base + 0.07 * i for i in range(len(bands))]
        a, b = _evaluate(instructions, x), _evaluate(instructions, [3.0 * v for v in x])
        # NaN at a probe tells nothing (sqrt(nir - red) there): such a formula needs an encoding.
        if not (a == b or abs(a - b) <= 1e-9 * max(1.0, abs(a))):
            return False
    return True


def _evaluate(instructions: list[Any], bands: list[float]) -> float:
    """The program's value in float64, without the epsilon: what the published formula gives."""
    stack: list[float] = []
    binary: dict[str, Callable[[float, float], float]] = {
        "add": operator.add, "sub": operator.sub, "mul": operator.mul,
        "div": lambda a, b: a / b if b else math.nan, "pow": math.pow,
    }
    unary: dict[str, Callable[[float], float]] = {"neg": operator.neg, "abs": abs, "sqrt": math.sqrt}
    try:
        for ins in instructions:
            kind = ins["type"]
            if kind == "push_band":
                stack.append(bands[ins["index"]])
            elif kind == "push_scalar":
                stack.append(float(ins["value"]))
            elif kind in binary:
                top = stack.pop()
                stack.append(binary[kind](stack.pop(), top))
            else:
                stack.append(unary[kind](stack.pop()))
    except (ValueError, OverflowError, ZeroDivisionError):
        return math.nan
    return stack[0]


def _eager(key: ProgramKey, bands: list[Band], shape: tuple[int, int], out: Any) -> npt.NDArray[np.float32]:
    arrays = [unsigned(b.data) for b in bands]
    if out is None:
        out = np.empty(shape, np.float32)
    else:
        check_out(out, shape, bands)
    run(program(key), arrays, out)
    return out  # type: ignore[no-any-return]


def run(expr: vexlora.CompiledExpr, arrays: list[Any], out: npt.NDArray[np.float32]) -> None:
    """execute_expr_inplace, with the engine's refusals (a borrow held by another thread's call)
    raised as ComputeError, an ordinary Exception."""
    try:
        vexlora.execute_expr_inplace(expr, arrays, out)
    except Exception:
        raise
    except BaseException as exc:
        if type(exc).__name__ != "PanicException":
            raise
        text = msg.IN_USE if "AlreadyBorrowed" in str(exc) else str(exc)
        raise ComputeError(text) from exc
