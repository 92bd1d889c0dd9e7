"""Recipe: vexlora on a chunked multi-band scene with dask.array.map_blocks and with
xarray.apply_ufunc(..., dask="parallelized"); both are bit-identical to one call on whole arrays.

Every pixel is computed on its own, so cutting the scene into chunks cannot change a single bit.

Choosing dask's scheduler: each vexlora call already spreads its pixels over every core of the
machine and releases the GIL while it runs. Running many chunks at once on top of that only makes
the calls compete for the same pool. For chunks that are already in memory use the synchronous
scheduler; when chunks are read from disk or the network, a threaded scheduler with a few workers
(2 to 4) overlaps the reads with the computation. Threads work well because vexlora releases the
GIL; avoid the process-based schedulers, which copy every chunk between processes.

    python examples/dask_recipe.py [--size N] [--chunk C]
"""

from __future__ import annotations

import argparse
import functools
from collections.abc import Sequence

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt
import xarray as xr

from vexlora_formulas import compute_index, get_index

BAND_NAMES = ("blue", "green", "red", "nir")


def synthetic_scene(shape: tuple[int, int], seed: int = 0) -> xr.DataArray:
    """A (band, y, x) uint16 scene: reflectance x 10000 with blocky fields and sensor noise."""
    rng = np.random.default_rng(seed)
    rows, cols = shape
    fields = np.kron(rng.random((rows // 32 + 1, cols // 32 + 1)), np.ones((32, 32)))[:rows, :cols]
    levels = {"blue": (600, -150), "green": (900, 200), "red": (1200, -700), "nir": (1800, 3500)}
    planes = [
        np.clip(base + gain * fields + rng.normal(0, 100, shape), 0, 65535).astype(np.uint16)
        for base, gain in (levels[name] for name in BAND_NAMES)
    ]
    return xr.DataArray(np.stack(planes), dims=("band", "y", "x"), coords={"band": list(BAND_NAMES)})


def _index_block(block: npt.NDArray[np.uint16], index: str, band_names: Sequence[str]) -> npt.NDArray[np.float32]:
    """One (band, y, x) chunk to the (y, x) index image; iterating the chunk yields its band planes."""
    # `out` and `constants` are passed explicitly, so that mypy matches the unpacked dict of bands
    # against the band keywords only.
    return compute_index(index, None, constants=None, **dict(zip(band_names, block)))


def index_with_map_blocks(stack: da.Array, index: str, band_names: Sequence[str]) -> da.Array:
    """The index of a (band, y, x) dask array, chunk by chunk; all bands must sit in one chunk."""
    one_band_chunk = stack.rechunk({0: -1})  # type: ignore[no-untyped-call]
    block_fn = functools.partial(_index_block, index=index, band_names=tuple(band_names))
    result: da.Array = da.map_blocks(  # type: ignore[no-untyped-call]
        block_fn, one_band_chunk, drop_axis=0, dtype=np.float32, meta=np.empty((0, 0), np.float32)
    )
    return result


def index_with_apply_ufunc(scene: xr.DataArray, index: str) -> xr.DataArray:
    """The index of a (band, y, x) DataArray, one band per argument, chunk by chunk when dask-backed."""
    needed = get_index(index).bands

    def block_fn(*arrays: npt.NDArray[np.uint16]) -> npt.NDArray[np.float32]:
        return compute_index(index, None, constants=None, **dict(zip(needed, arrays)))

    inputs = [scene.sel(band=name).drop_vars("band") for name in needed]
    result: xr.DataArray = xr.apply_ufunc(block_fn, *inputs, dask="parallelized", output_dtypes=[np.float32])
    return result.rename(index)


def whole_scene_index(scene: xr.DataArray, index: str) -> npt.NDArray[np.float32]:
    """The reference: one call on the whole in-memory arrays."""
    bands = {str(name): scene.sel(band=name).values for name in scene["band"].values}
    return compute_index(index, None, constants=None, **bands)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--size", type=int, default=2048, help="rows and columns of the scene")
    parser.add_argument("--chunk", type=int, default=512, help="rows and columns of a chunk")
    args = parser.parse_args(argv)

    scene = synthetic_scene((args.size, args.size))
    chunked = scene.chunk({"band": -1, "y": args.chunk, "x": args.chunk})
    ndvi = index_with_map_blocks(chunked.data, "NDVI", BAND_NAMES)
    evi = index_with_apply_ufunc(chunked, "EVI")
    with dask.config.set(scheduler="synchronous"):  # chunks already in memory: one chunk at a time
        ndvi_values = np.asarray(ndvi)  # computes the dask array
    with dask.config.set(scheduler="threads", num_workers=2):  # a small pool, as when reading chunks
        evi_values = evi.values

    identical = True
    for label, index, values in (
        ("NDVI, map_blocks, synchronous", "NDVI", ndvi_values),
        ("EVI, apply_ufunc, 2 threads", "EVI", evi_values),
    ):
        same = np.array_equal(values.view(np.uint32), whole_scene_index(scene, index).view(np.uint32))
        identical &= same
        print(f"{label:31} {'bit-identical to one whole-array call' if same else 'DIFFERENT'}")
    return 0 if identical else 1


if __name__ == "__main__":
    raise SystemExit(main())
