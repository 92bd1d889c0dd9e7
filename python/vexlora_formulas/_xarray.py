"""xarray and dask at the edges of a call: the bands of a Dataset or (band, y, x) DataArray, a lazy
dask result computed one vexlora call per block, and the result wrapped as a DataArray."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _messages as msg
from ._arrays import Band, is_dataarray, is_dataset, unsigned

# Attributes that describe where the pixels are, kept on the result; encoding attributes are not.
_SPATIAL_ATTRS = ("crs", "transform", "res", "AREA_OR_POINT", "grid_mapping", "spatial_ref")


def members(data: Any) -> list[tuple[str, Any]]:
    """(name, band) pairs of `data`: a Dataset's variables, the planes of a (band, y, x) DataArray
    along its `band` coordinate, or a mapping's items; nothing for None."""
    if data is None:
        return []
    if is_dataset(data):
        return [(str(name), data[name]) for name in data.data_vars]
    if is_dataarray(data):
        dim = data.dims[0]
        if data.ndim != 3 or not all(isinstance(v, str) for v in data[dim].values.tolist()):
            raise TypeError(
                f"data= must be a Dataset, a mapping, or a (band, y, x) DataArray whose first coordinate names "
                f"the bands; got a DataArray with dims {data.dims}: use .assign_coords({dim}=[...names])"
            )
        return [(str(v), data.isel({dim: i}).drop_vars(dim)) for i, v in enumerate(data[dim].values.tolist())]
    if isinstance(data, Mapping):
        return [(str(k), v) for k, v in data.items()]
    raise TypeError(f"data= must be a Dataset, a (band, y, x) DataArray or a mapping, not {type(data).__name__}")


def check_grids(bands: list[Band]) -> None:
    """xarray bands must share dims and coordinates: equal shapes alone could pair pixels of two
    grids, or of a transposed band, without a word."""
    grids = [(b, _grid(b.template)) for b in bands if b.template is not None]
    if len(grids) < 2:
        return
    import xarray as xr

    (first, reference), rest = grids[0], grids[1:]
    for b, grid in rest:
        try:
            same = grid.dims == reference.dims
            if same:
                xr.align(reference, grid, join="exact", copy=False)
        except ValueError:
            same = False
        if not same:
            raise ValueError(msg.NOT_ON_GRID.format(band=b.keyword, first=first.keyword, dims=grid.dims,
                                                    expected=reference.dims))


def _grid(template: Any) -> Any:
    """The (y, x) plane of a band's DataArray, without its data's values being touched."""
    if template.ndim == 3:
        template = template.isel({template.dims[0]: 0}, drop=True)
    return template


def block(*blocks: npt.NDArray[Any], key: Any) -> npt.NDArray[np.float32]:
    """One dask block: the program is rebuilt from `key` once per process and cached there."""
    from ._compute import program, run

    out = np.empty(blocks[0].shape, np.float32)
    run(program(key), [unsigned(b) for b in blocks], out)
    return out


def lazy(key: Any, bands: list[Band]) -> Any:
    """The dask array of the result, in the chunks of the first dask band: other bands (dask or
    NumPy) are cut to match."""
    import dask.array as da

    chunks = next(b.data for b in bands if b.is_dask).chunks
    arrays = [
        (b.data if b.data.chunks == chunks else b.data.rechunk(chunks)) if b.is_dask else da.from_array(b.data, chunks)  # type: ignore[no-untyped-call]
        for b in bands
    ]
    return da.map_blocks(  # type: ignore[no-untyped-call]
        block, *arrays, key=key, dtype=np.float32, meta=np.empty((0, 0), np.float32))


def wrap(result: Any, bands: list[Band], name: str, long_name: str | None) -> Any:
    """`result` as a DataArray shaped like the first xarray band (dims, coordinates, spatial
    attributes, named after the index); unchanged when no band came from xarray."""
    template = next((b.template for b in bands if b.template is not None), None)
    if template is None:
        return result
    import xarray as xr

    if template.ndim == 3:
        template = template.isel({template.dims[0]: 0}, drop=True)
    if "band" in template.coords and template["band"].ndim == 0:
        template = template.drop_vars("band")
    attrs = {k: v for k, v in template.attrs.items() if k in _SPATIAL_ATTRS}
    if long_name:
        attrs["long_name"] = long_name
    out = xr.DataArray(result, dims=template.dims, coords=template.coords, name=name, attrs=attrs)
    if "grid_mapping" in template.encoding:
        out.encoding["grid_mapping"] = template.encoding["grid_mapping"]
    return out
