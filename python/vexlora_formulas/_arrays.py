"""The bands of one call as the engine needs them: containers recognised (NumPy, numpy.ma, dask,
xarray), dtype, dimensions and shape checked with messages in the user's words, encodings read."""

from __future__ import annotations

import math
import numbers
import sys
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _messages as msg
from ._encoding import intended

# Attributes that rioxarray and CF readers set for stored integers opened with mask_and_scale=False.
_FILL_KEYS = ("_FillValue", "nodata", "missing_value")


@dataclass
class Band:
    """One input band: `data` is a 2-D NumPy or dask array of uint16 or int16."""

    name: str  # the catalogue's band name
    keyword: str  # what the caller called it
    data: Any
    template: Any = None  # the DataArray it came from, if any
    attrs_scale: float | None = None
    attrs_offset: float | None = None
    attrs_nodata: float | None = None

    @property
    def signed(self) -> bool:
        return bool(self.data.dtype == np.int16)

    @property
    def is_dask(self) -> bool:
        return is_dask(self.data)


def is_dask(obj: object) -> bool:
    module = sys.modules.get("dask.array")
    return module is not None and isinstance(obj, module.Array)


def is_dataarray(obj: object) -> bool:
    module = sys.modules.get("xarray")
    return module is not None and isinstance(obj, module.DataArray)


def is_dataset(obj: object) -> bool:
    module = sys.modules.get("xarray")
    return module is not None and isinstance(obj, module.Dataset)


def _real(value: object) -> float | None:
    if isinstance(value, np.ndarray) and value.size == 1:
        value = value.reshape(()).item()
    if isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isfinite(float(value)):
        return intended(value)  # a float32 attribute as the decimal its writer meant
    return None


def band(name: str, keyword: str, obj: object) -> Band:
    """Checks `obj` and records what its container says about its encoding."""
    template = None
    found: dict[str, float | None] = {}
    if is_dataarray(obj):
        template = obj
        source = {**obj.encoding, **obj.attrs}  # type: ignore[attr-defined]
        found["scale"] = _real(source.get("scale_factor"))
        found["offset"] = _real(source.get("add_offset"))
        found["nodata"] = next((v for v in (_real(source.get(k)) for k in _FILL_KEYS) if v is not None), None)
        obj = obj.data  # type: ignore[attr-defined]
    if isinstance(obj, np.ma.MaskedArray):
        raise TypeError(msg.MASKED.format(band=keyword))
    if not (isinstance(obj, np.ndarray) or is_dask(obj)):
        raise TypeError(msg.NOT_AN_ARRAY.format(band=keyword, type=type(obj).__name__))
    data: Any = obj
    if data.ndim == 3 and data.shape[0] == 1:  # one band of a (band, y, x) raster
        data = data[0]
    _check_dtype(keyword, data.dtype)
    if data.ndim != 2:
        raise TypeError(msg.BAND_NDIM.format(band=keyword, ndim=data.ndim, shape=tuple(data.shape)))
    return Band(name, keyword, data, template, found.get("scale"), found.get("offset"), found.get("nodata"))


def _check_dtype(keyword: str, dtype: np.dtype[Any]) -> None:
    if dtype.kind in "ui" and dtype.itemsize == 2 and dtype.isnative:
        return
    if dtype.kind == "f":
        hint = msg.HINT_FLOAT
    elif dtype.kind in "ui" and not dtype.isnative:
        hint = msg.HINT_BYTE_ORDER
    elif dtype.kind == "i":
        hint = msg.HINT_SIGNED
    else:
        hint = ""
    raise TypeError(msg.BAND_DTYPE.format(band=keyword, dtype=dtype, hint=hint))


def check_shapes(bands: list[Band]) -> tuple[int, int]:
    first = bands[0]
    shape: tuple[int, int] = tuple(first.data.shape)
    for other in bands[1:]:
        other_shape = tuple(other.data.shape)
        if other_shape != shape:
            ratios = {max(a, b) / min(a, b) for a, b in zip(shape, other_shape) if min(a, b)}
            hint = msg.HINT_RESOLUTION if len(ratios) == 1 and next(iter(ratios)) in (2.0, 3.0, 6.0) else ""
            raise ValueError(
                msg.BAND_SHAPE.format(band=other.keyword, shape=other_shape, expected=shape, first=first.keyword, hint=hint)
            )
    return shape


def unsigned(data: Any) -> Any:
    """int16 values v as uint16 v + 32768 (the sign bit flipped): exact, one pass; uint16 unchanged."""
    if data.dtype == np.int16:
        return np.bitwise_xor(np.asarray(data).view(np.uint16), np.uint16(0x8000))
    return data


def check_out(out: object, shape: tuple[int, int], bands: list[Band]) -> None:
    if isinstance(out, np.ma.MaskedArray):
        raise TypeError(msg.OUT_MASKED)
    if not isinstance(out, np.ndarray) or out.dtype != np.float32 or not out.dtype.isnative or out.ndim != 2:
        what = f"{out.dtype} with {out.ndim} dimensions" if isinstance(out, np.ndarray) else type(out).__name__
        raise TypeError(msg.OUT_DTYPE.format(what=what))
    if out.shape != shape:
        raise ValueError(msg.OUT_SHAPE.format(shape=out.shape, expected=shape))
    if not out.flags.writeable:
        raise ValueError(msg.OUT_READ_ONLY)
    for b in bands:
        if isinstance(b.data, np.ndarray) and np.may_share_memory(out, b.data):
            raise ValueError(msg.OUT_OVERLAP.format(band=b.keyword))
