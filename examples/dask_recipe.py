"""Recipe: indices of a chunked multi-band scene with dask and xarray; the lazy results are
bit-identical to one call on the whole arrays.

compute_index takes dask-backed bands as they are and returns a lazy result: one vexlora call per
block, with the compiled program rebuilt once in each worker process, so it runs on dask's threaded
scheduler and on dask.distributed worker processes alike. Every pixel is computed on its own, so
cutting the scene into chunks cannot change a single bit.

Sizing workers: each vexlora call already spreads its pixels over every CPU the process may use and
releases the GIL while it runs, and each process has one vexlora pool. So give dask few threads per
process: on one machine the threaded scheduler with 2 to 4 workers (enough to overlap reading
chunks with computing them); with dask.distributed, one worker process per machine (or per NUMA
node) with 2 to 4 threads, rather than one single-threaded worker per core, which would start one
full-size pool in every process and oversubscribe the CPUs.

    python examples/dask_recipe.py [--size N] [--chunk C]
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import Any

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt
import xarray as xr

from vexlora_formulas import compute_index

BAND_NAMES = ("blue", "green", "red", "nir")
SCALE_FACTOR = 1e-4  # the scene stores reflectance x 10000, with no offset


def synthetic_scene(shape: tuple[int, int], seed: int = 0) -> xr.DataArray:
    """A (band, y, x) uint16 scene: reflectance x 10000 with blocky fields and sensor noise."""
    rng = np.random.default_rng(seed)
    rows, cols = shape
    fields = np.kron(rng.random((rows // 32 + 1, cols // 32 + 1)), np.ones((32, 32)))[:rows, :cols]
    levels = {"blue": (600, -150), "green": (900, 200), "red": (1200, -700), "nir": (1800, 3500)}
    planes = [
        np.clip(base + gain * fields + rng.normal(0, 100, shape), 1, 65535).astype(np.uint16)
        for base, gain in (levels[name] for name in BAND_NAMES)
    ]
    return xr.DataArray(
        np.stack(planes),
        dims=("band", "y", "x"),
        coords={"band": list(BAND_NAMES), "y": 5e6 - 10.0 * np.arange(rows), "x": 5e5 + 10.0 * np.arange(cols)},
        attrs={"scale_factor": SCALE_FACTOR, "add_offset": 0.0, "_FillValue": 0},
    )


def lazy_index(scene: xr.DataArray, index: str) -> xr.DataArray:
    """The index of a (band, y, x) DataArray; lazy when the scene is dask-backed. The encoding and
    nodata come from the scene's attributes (scale_factor, add_offset, _FillValue)."""
    result: xr.DataArray = compute_index(index, data=scene)
    return result


def lazy_index_of_arrays(stack: da.Array, index: str) -> da.Array:
    """The same from plain dask arrays, one per band; the encoding is then given in the call."""
    bands = {name: stack[i] for i, name in enumerate(BAND_NAMES)}
    result: da.Array = compute_index(index, None, constants=None, scale_factor=SCALE_FACTOR, nodata=0, data=bands)
    return result


def whole_scene_index(scene: xr.DataArray, index: str) -> npt.NDArray[np.float32]:
    """The reference: one call on the whole in-memory arrays."""
    bands = {str(name): scene.sel(band=name).values for name in scene["band"].values}
    result: npt.NDArray[np.float32] = compute_index(index, scale_factor=SCALE_FACTOR, nodata=0, data=bands)
    return result


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--size", type=int, default=2048, help="rows and columns of the scene")
    parser.add_argument("--chunk", type=int, default=512, help="rows and columns of a chunk")
    args = parser.parse_args(argv)

    scene = synthetic_scene((args.size, args.size))
    chunked = scene.chunk({"band": -1, "y": args.chunk, "x": args.chunk})
    ndvi = lazy_index_of_arrays(chunked.data, "NDVI")
    evi = lazy_index(chunked, "EVI")
    with dask.config.set(scheduler="threads", num_workers=2):  # a small pool, as when reading chunks
        ndvi_values: Any = ndvi.compute()  # type: ignore[no-untyped-call]
        evi_values = evi.values

    identical = True
    for label, index, values in (("NDVI, dask arrays", "NDVI", ndvi_values), ("EVI, DataArray", "EVI", evi_values)):
        same = np.array_equal(values.view(np.uint32), whole_scene_index(scene, index).view(np.uint32))
        identical &= same
        print(f"{label:18} {'bit-identical to one whole-array call' if same else 'DIFFERENT'}")
    return 0 if identical else 1


if __name__ == "__main__":
    raise SystemExit(main())
