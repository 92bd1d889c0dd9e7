"""Runs the recipes under examples/ on small data: dask and xarray chunking, a GeoTIFF round trip
with rasterio and the window-by-window loop; each is skipped where its libraries are missing."""

import importlib
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import EPS, assert_bits_equal, ref_evi, ref_normalized_difference

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

NEEDS = {"dask_recipe": ("dask", "xarray"), "rasterio_recipe": ("rasterio",), "windowed_recipe": ("rasterio",)}


def recipe(name):
    for module in NEEDS[name]:
        pytest.importorskip(module)
    return importlib.import_module(name)


def read_bands(path, numbers):
    import rasterio

    with rasterio.open(path) as src:
        return {name: src.read(number) for name, number in numbers.items()}


@pytest.mark.parametrize("scheduler", ["synchronous", "threads"])
def test_dask_chunks_give_the_whole_array_result(scheduler):
    dask_recipe = recipe("dask_recipe")
    import dask

    scene = dask_recipe.synthetic_scene((45, 70), seed=3)
    chunked = scene.chunk({"band": 1, "y": 16, "x": 24})  # ragged edge chunks, one band per chunk
    whole = {name: scene.sel(band=name).values for name in dask_recipe.BAND_NAMES}
    with dask.config.set(scheduler=scheduler, num_workers=3):
        ndvi = np.asarray(dask_recipe.lazy_index_of_arrays(chunked.data, "NDVI"))
        evi = dask_recipe.lazy_index(chunked, "EVI").compute()
    # NDVI does not depend on the scale, so its program is the kernel's order
    assert_bits_equal(ndvi, ref_normalized_difference(whole["nir"], whole["red"]))
    assert_bits_equal(evi.values, dask_recipe.whole_scene_index(scene, "EVI"))
    assert evi.dims == ("y", "x") and evi.name == "EVI"
    assert_bits_equal(evi["x"].values, scene["x"].values)


def test_rasterio_round_trip(tmp_path):
    rasterio_recipe = recipe("rasterio_recipe")
    import rasterio

    src, dst = tmp_path / "scene.tif", tmp_path / "indices.tif"
    rasterio_recipe.write_sample_scene(src, (37, 50), seed=1, block=16, nodata=0)
    result = rasterio_recipe.compute_ndvi_evi(src, dst)

    bands = read_bands(src, rasterio_recipe.BAND_NUMBERS)
    nodata = np.logical_or.reduce([band == 0 for band in bands.values()])
    assert nodata.any() and not nodata.all()
    expected = np.stack(
        [
            ref_normalized_difference(bands["nir"], bands["red"]),
            ref_evi(bands["nir"], bands["red"], bands["blue"], 2.5, 6.0, 7.5, 10000.0),
        ]
    )
    expected[:, nodata] = np.nan
    assert_bits_equal(result, expected)
    stored = rasterio_recipe.read_indices(dst)
    assert_bits_equal(np.stack([stored["NDVI"], stored["EVI"]]), expected)
    with rasterio.open(src) as source, rasterio.open(dst) as indices:
        assert indices.dtypes == ("float32", "float32") and np.isnan(indices.nodata)
        assert (indices.crs, indices.transform, indices.shape) == (source.crs, source.transform, source.shape)


@pytest.mark.parametrize("strip_rows, strips", [(16, 3), (7, 6), (1000, 1)])
def test_windowed_loop_equals_one_whole_array_evaluation(tmp_path, strip_rows, strips):
    windowed_recipe = recipe("windowed_recipe")
    import rasterio

    src, dst = tmp_path / "scene.tif", tmp_path / "out.tif"
    windowed_recipe.write_sample_scene(src, (37, 50), seed=2, block=16, nodata=None)
    numbers = {"nir": 4, "red": 3, "blue": 1}  # not in file order
    formula = "(nir - red) / (nir + 6 * red - 7.5 * blue + L)"
    count = windowed_recipe.process_windowed(src, dst, formula, numbers, constants={"L": 1e4}, strip_rows=strip_rows)
    assert count == strips

    n, r, b = (band.astype(np.float32) for band in read_bands(src, numbers).values())
    with np.errstate(all="ignore"):
        expected = (n - r) / ((((n + np.float32(6) * r) - np.float32(7.5) * b) + np.float32(1e4)) + EPS)
    with rasterio.open(dst) as out:
        assert_bits_equal(out.read(1), expected)


@pytest.mark.parametrize("name", NEEDS)
def test_recipe_runs_as_a_script(name, tmp_path, capsys):
    module = recipe(name)
    options = {"dask_recipe": ["--chunk", "24"], "windowed_recipe": ["--strip-rows", "24", "--dir", str(tmp_path)]}
    argv = ["--size", "64", *options.get(name, ["--dir", str(tmp_path)])]
    assert module.main(argv) == 0, capsys.readouterr().out
