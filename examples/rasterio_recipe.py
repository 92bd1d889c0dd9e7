"""Recipe: read a multi-band uint16 GeoTIFF with rasterio, compute NDVI and EVI into float32 with
vexlora, write them to a GeoTIFF with the source's profile (float32, two bands), read it back.

Pixels that are nodata in any source band become NaN in the output, whose nodata value is NaN.

    python examples/rasterio_recipe.py [--size N] [--dir DIRECTORY]
"""

from __future__ import annotations

import argparse
import tempfile
from collections.abc import Mapping, Sequence
from pathlib import Path

import numpy as np
import numpy.typing as npt
import rasterio  # type: ignore[import-untyped]
from rasterio.transform import Affine  # type: ignore[import-untyped]

import vexlora

# 1-based band numbers in the source file.
BAND_NUMBERS = {"blue": 1, "green": 2, "red": 3, "nir": 4}
# EVI coefficients; the source holds reflectance x 10000, so L = 1.0 in reflectance is 10000 here.
EVI_G, EVI_C1, EVI_C2, EVI_L = 2.5, 6.0, 7.5, 1.0 * 10000


def write_sample_scene(
    path: str | Path, shape: tuple[int, int] = (1024, 1024), *, seed: int = 0, block: int = 256, nodata: int | None = 0
) -> None:
    """A tiled, compressed 4-band uint16 GeoTIFF (reflectance x 10000) with a nodata stripe."""
    rng = np.random.default_rng(seed)
    rows, cols = shape
    fields = np.kron(rng.random((rows // 32 + 1, cols // 32 + 1)), np.ones((32, 32)))[:rows, :cols]
    levels = {"blue": (600, -150), "green": (900, 200), "red": (1200, -700), "nir": (1800, 3500)}
    profile = {
        "driver": "GTiff", "height": rows, "width": cols, "count": len(BAND_NUMBERS), "dtype": "uint16",
        "crs": "EPSG:32633", "transform": Affine(10.0, 0.0, 500000.0, 0.0, -10.0, 5000000.0), "nodata": nodata,
        "tiled": True, "blockxsize": block, "blockysize": block, "compress": "deflate", "predictor": 2,
    }
    with rasterio.open(path, "w", **profile) as dst:
        for name, number in BAND_NUMBERS.items():
            base, gain = levels[name]
            band = np.clip(base + gain * fields + rng.normal(0, 100, shape), 1, 65535).astype(np.uint16)
            if nodata is not None:
                band[:, : max(1, cols // 20)] = nodata  # an edge outside the swath
            dst.write(band, number)
            dst.set_band_description(number, name)


def compute_ndvi_evi(src_path: str | Path, dst_path: str | Path) -> npt.NDArray[np.float32]:
    """Writes NDVI (band 1) and EVI (band 2) of `src_path` to `dst_path`; returns the (2, rows, cols) result."""
    with rasterio.open(src_path) as src:
        bands: Mapping[str, npt.NDArray[np.uint16]] = {name: src.read(n) for name, n in BAND_NUMBERS.items()}
        profile = src.profile
        nodata = src.nodata

    result = np.empty((2, *bands["nir"].shape), np.float32)  # each plane is an output buffer
    vexlora.calculate_normalized_difference_inplace(bands["nir"], bands["red"], result[0])
    vexlora.calculate_evi_inplace(bands["nir"], bands["red"], bands["blue"], EVI_G, EVI_C1, EVI_C2, EVI_L, result[1])
    if nodata is not None:
        result[:, np.logical_or.reduce([band == nodata for band in bands.values()])] = np.nan

    profile.update(dtype="float32", count=2, nodata=np.nan if nodata is not None else None)
    if profile.get("predictor") == 2:
        profile["predictor"] = 3  # the floating-point predictor; 2 is meant for integers
    with rasterio.open(dst_path, "w", **profile) as dst:
        dst.write(result)
        dst.descriptions = ("NDVI", "EVI")
    return result


def read_indices(path: str | Path) -> dict[str, npt.NDArray[np.float32]]:
    """The bands of an index file by description."""
    with rasterio.open(path) as src:
        return {str(name): src.read(number) for number, name in enumerate(src.descriptions, start=1)}


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--size", type=int, default=1024, help="rows and columns of the sample scene")
    parser.add_argument("--dir", type=Path, help="where to write the files (default: a temporary directory)")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        directory = args.dir or Path(tmp)
        src_path, dst_path = directory / "scene.tif", directory / "indices.tif"
        write_sample_scene(src_path, (args.size, args.size))
        computed = compute_ndvi_evi(src_path, dst_path)
        stored = read_indices(dst_path)
        same = all(
            np.array_equal(stored[name].view(np.uint32), computed[k].view(np.uint32))
            for k, name in enumerate(("NDVI", "EVI"))
        )
        valid = ~np.isnan(computed[0])
        print(f"{dst_path.name}: NDVI mean {computed[0][valid].mean():.4f}, EVI mean {computed[1][valid].mean():.4f}")
        print("read back:", "bit-identical" if same else "DIFFERENT")
    return 0 if same else 1


if __name__ == "__main__":
    raise SystemExit(main())
