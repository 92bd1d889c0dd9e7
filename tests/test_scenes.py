"""Indices from bands as products store them: encodings against a float64 evaluation of the published
formulas, nodata, sensor presets, xarray and dask in and out, and the argument errors verbatim."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from conftest import EPS, assert_bits_equal, bits
from vexlora_formulas import ComputeError, compile_formula, compute_formula, compute_index

S2 = {"scale_factor": 1e-4, "add_offset": -0.1}


def published(name, n, r, b):
    """The published formulas in float64 on physical values."""
    return {
        "NDVI": ((n - r) / (n + r), n + r),
        "SAVI": (1.5 * (n - r) / (n + r + 0.5), n + r + 0.5),
        "EVI": (2.5 * (n - r) / (n + 6 * r - 7.5 * b + 1), n + 6 * r - 7.5 * b + 1),
    }[name]


def sentinel2_bands():
    """xarray-spatial's Sentinel-2 sample (200 x 300 DN, stored as float64) as uint16."""
    xr = pytest.importorskip("xarray")
    xrspatial = pytest.importorskip("xrspatial")
    folder = os.path.join(os.path.dirname(xrspatial.__file__), "datasets", "sentinel-2")
    bands = {}
    for name in ("blue", "red", "nir"):
        with xr.open_dataarray(os.path.join(folder, f"{name}_band.nc")) as array:
            bands[name] = array.values.astype(np.uint16)
    return bands


@pytest.mark.parametrize("offset", [-0.1, 0.0])
@pytest.mark.parametrize("name", ["NDVI", "SAVI", "EVI"])
def test_real_scene_matches_the_published_formula(name, offset):
    bands = sentinel2_bands()
    bands["nir"][5, 7:20] = 0
    bands["blue"][150, :3] = 0
    planted = bands["nir"] == 0
    if name == "EVI":
        planted |= bands["blue"] == 0
    got = compute_index(name, scale_factor=1e-4, add_offset=offset, nodata=0, **bands)
    assert np.array_equal(np.isnan(got), planted)
    without = compute_index(name, scale_factor=1e-4, add_offset=offset, **bands)
    assert_bits_equal(got[~planted], without[~planted])

    n, r, b = (bands[k] * 1e-4 + offset for k in ("nir", "red", "blue"))
    with np.errstate(all="ignore"):
        expected, denominator = published(name, n, r, b)
    sound = ~planted & (np.abs(denominator) > 1e-3)
    assert sound.sum() > 0.99 * sound.size
    error = np.abs(got[sound] - expected[sound]) / np.maximum(np.abs(expected[sound]), 1e-300)
    assert error.max() <= 1e-6 and not np.any(got[sound & (expected == 0)])


def test_encoded_program_order_and_presets(rng):
    # DN arithmetic is exact; one rounding by the scale on each side of the division.
    nir, red = (rng.integers(0, 65536, (40, 50), dtype=np.uint16) for _ in range(2))
    n, r = nir.astype(np.float32), red.astype(np.float32)
    s = np.float32(1e-4)
    with np.errstate(all="ignore"):
        expected = ((n - r) * s) / ((((n + r) - np.float32(2000)) * s) + EPS)
    assert_bits_equal(compute_index("NDVI", nir=nir, red=red, **S2), expected)
    assert_bits_equal(compute_index("NDVI", sensor="sentinel2_l2a", B08=nir, B04=red, B03=red), expected)
    # Landsat's 2.75e-5 and -0.2 are 11 x 2.5e-6 and -80000 x 2.5e-6: still one rounding.
    landsat = compute_index("NDVI", sensor="landsat_c2_l2", SR_B5=nir, SR_B4=red)
    with np.errstate(all="ignore"):
        expected = ((n - r) * np.float32(2.75e-5)) / (((np.float32(11) * n + np.float32(11) * r) - np.float32(160000))
                                                      * np.float32(2.5e-6) + EPS)
    expected[(nir == 0) | (red == 0)] = np.nan
    assert_bits_equal(landsat, expected)
    # HLS stores int16 with -9999 as fill; negative reflectance is valid.
    hls_nir = rng.integers(-200, 10000, (40, 50), dtype=np.int16)
    hls_red = rng.integers(-200, 10000, (40, 50), dtype=np.int16)
    hls_nir[0, 0] = -9999
    got = compute_index("EVI", sensor="hls_l30", B05=hls_nir, B04=hls_red, B02=hls_red)
    nf, rf = hls_nir * 1e-4, hls_red * 1e-4
    with np.errstate(all="ignore"):
        expected, denominator = published("EVI", nf, rf, rf)
    assert np.isnan(got[0, 0]) and np.isnan(got).sum() == 1
    sound = np.abs(denominator) > 1e-2
    sound[0, 0] = False
    assert np.max(np.abs(got[sound] - expected[sound]) / np.abs(expected[sound]).clip(1e-300)) <= 1e-6


def test_program_is_inspectable_and_cached_by_exact_bits(rng):
    program = compile_formula("(nir - red) / (nir + red)", ["nir", "red"], nodata={"red": 7}, **S2)
    assert program[-10:] == [
        {"type": "push_band", "index": 1}, {"type": "push_scalar", "value": 7.0}, {"type": "sub"}, {"type": "abs"},
        {"type": "push_scalar", "value": 0.5}, {"type": "sub"}, {"type": "sqrt"},
        {"type": "push_scalar", "value": -0.0}, {"type": "mul"}, {"type": "add"},
    ]
    nir = rng.integers(1, 65536, (3, 4), dtype=np.uint16)
    plus = compute_index("EVI", scale_factor=1, constants={"G": 0.0}, nir=nir, red=nir, blue=0 * nir)
    minus = compute_index("EVI", scale_factor=1, constants={"G": -0.0}, nir=nir, red=nir, blue=0 * nir)
    assert not np.any(bits(plus)) and np.all(bits(minus) == 0x80000000)
    # Encodings resolved once are reused only for the same values, wherever they were read from.
    xr = pytest.importorskip("xarray")
    red = nir // 2
    for scale in (1e-4, 2e-4, 1e-4):
        attrs = {"scale_factor": scale, "add_offset": 0.0}
        tagged = compute_index("SAVI", nir=xr.DataArray(nir, attrs=attrs), red=xr.DataArray(red, attrs=attrs))
        assert_bits_equal(tagged.values, compute_index("SAVI", scale_factor=scale, nir=nir, red=red))


def test_xarray_in_xarray_out_and_dask_lazy(rng):
    xr = pytest.importorskip("xarray")
    da = pytest.importorskip("dask.array")
    dask = pytest.importorskip("dask")
    nir, red = (rng.integers(0, 5000, (30, 41), dtype=np.uint16) for _ in range(2))
    coords = {"band": [1], "y": 100.0 - np.arange(30), "x": np.arange(41.0), "spatial_ref": 0}
    attrs = {"scale_factor": 1e-4, "add_offset": -0.1, "_FillValue": 0, "AREA_OR_POINT": "Area"}

    def raster(values):
        return xr.DataArray(values[None], dims=("band", "y", "x"), coords=coords, attrs=attrs)

    eager = compute_index("EVI", nir=raster(nir), red=raster(red), blue=raster(red))
    assert eager.dims == ("y", "x") and eager.name == "EVI" and "spatial_ref" in eager.coords
    assert eager.attrs == {"AREA_OR_POINT": "Area", "long_name": "Enhanced Vegetation Index"}
    assert_bits_equal(eager.values, compute_index("EVI", nir=nir, red=red, blue=red, nodata=0, **S2))

    lazy = compute_index("EVI", nir=raster(nir).chunk({"y": 7, "x": 16}), red=raster(red).chunk({"y": 11}),
                         blue=raster(red))
    assert isinstance(lazy.data, da.Array)
    with dask.config.set(scheduler="threads", num_workers=3):
        assert_bits_equal(lazy.values, eager.values)
    stack = xr.concat([raster(nir), raster(red)], "band").assign_coords(band=["nir", "red"])
    dataset = xr.Dataset({"nir": raster(nir)[0], "red": raster(red)[0], "SCL": raster(red)[0]})
    for data in (stack, dataset, {"nir": da.from_array(nir, 8), "red": red}):
        result = compute_index("NDVI", data=data, nodata=0, **S2)
        assert_bits_equal(np.asarray(result), compute_index("NDVI", nir=nir, red=red, nodata=0, **S2))
    assert pickle.loads(pickle.dumps(lazy.data)) is not None


def test_dask_distributed_worker_processes(rng):
    distributed = pytest.importorskip("dask.distributed")
    da = pytest.importorskip("dask.array")
    nir, red = (rng.integers(0, 5000, (64, 96), dtype=np.uint16) for _ in range(2))
    lazy = compute_formula("(a - b) / (a + b + 0.5)", a=da.from_array(nir, 32), b=da.from_array(red, 48),
                           nodata=0, **S2)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster):
            got = lazy.compute()
    assert_bits_equal(got, compute_formula("(a - b) / (a + b + 0.5)", a=nir, b=red, nodata=0, **S2))


def _calls(rng):
    band = rng.integers(0, 100, (4, 6), dtype=np.uint16)
    out = np.empty((4, 6), np.float32)
    read_only = out.copy()
    read_only.flags.writeable = False
    return [
        (dict(scale_factor_=1, nir=band, red=band), TypeError,
         "compute_index() got an unexpected keyword argument 'scale_factor_': it is neither an option nor a band "
         "name (blue, coastal, green, green1, nir, nir2, red, rededge, rededge2, rededge3, swir1, swir2, thermal, "
         "thermal1, thermal2, watervapour, yellow)"),
        (dict(nir=band.astype(np.float32), red=band), TypeError,
         "band 'nir' must hold uint16 DN, got dtype float32: float values such as reflectance cannot be read as "
         "stored integers; pass the stored DN (open the file with mask_and_scale=False) and give scale_factor= "
         "and add_offset="),
        (dict(nir=band, red=band.astype(np.int32)), TypeError,
         "band 'red' must hold uint16 DN, got dtype int32: signed integers other than int16 are not supported; "
         "convert to uint16 DN"),
        (dict(nir=band.astype(">u2"), red=band), TypeError,
         "band 'nir' must hold uint16 DN, got dtype >u2: byte order is not native; pass band.astype('=u2')"),
        (dict(nir=band[None].repeat(2, 0), red=band), TypeError,
         "band 'nir' must be 2-D (rows, columns), got 3-D with shape (2, 4, 6)"),
        (dict(nir=band, red=band[::2, ::2]), ValueError,
         "band 'red' has shape (2, 3), expected (4, 6) like 'nir': bands at different resolutions (such as "
         "Sentinel-2's 20 m B05, B8A, B11 and B12 beside the 10 m B02, B03, B04 and B08) must be resampled to one "
         "grid first"),
        (dict(nir=np.ma.masked_equal(band, 0), red=band), TypeError,
         "band 'nir' is a masked array; pass its data with nodata= (for example band.filled(0) with nodata=0) so "
         "that masked pixels give NaN"),
        (dict(nir=band.tolist(), red=band), TypeError,
         "band 'nir' must be a 2-D uint16 array (NumPy, dask or xarray), got list"),
        (dict(out=out.astype(np.float64), nir=band, red=band), TypeError,
         "out must be a 2-D float32 NumPy array, got float64 with 2 dimensions"),
        (dict(out=read_only, nir=band, red=band), ValueError, "out is read-only"),
        (dict(out=np.frombuffer(band.data, np.float32).reshape(4, 3), nir=band, red=band), ValueError,
         "out has shape (4, 3), expected the bands' shape (4, 6)"),
        (dict(constants=[], nir=band, red=band), TypeError, "constants must be a mapping of names to numbers, not list"),
        (dict(output=out, nir=band, red=band), TypeError, None),
        (dict(nir=band), TypeError, "compute_index('NDVI') missing band arrays: 'red'"),
        (dict(nir=band, red=band, sensor="sentinel2"), KeyError, None),
        (dict(nir=band, B08=band, red=band, sensor="sentinel2_l2a"), TypeError,
         "compute_index() got band 'nir' twice, as 'nir' and as 'B08'"),
        (dict(out=np.ma.masked_array(out), nir=band, red=band), TypeError,
         "out must be a plain NumPy array, not a masked array: its mask would hide the result"),
        (dict(scale_factor={"nir": 1e-4}, nir=band, red=band), TypeError,
         "NDVI: the encoding of some bands is known (from the call, a sensor or their attributes) but not that of "
         "'red'; give scale_factor= and add_offset= for every band (numbers, or mappings by band)"),
        (dict(scale_factor=0, nir=band, red=band), ValueError, "scale_factor for band 'nir' must be finite and not 0, got 0"),
        (dict(scale_factor=1e-300, nir=band, red=band), ValueError,
         "scale_factor 1e-300 for band 'nir' is outside the range of float32 numbers"),
        (dict(scale_factor=10**400, nir=band, red=band), ValueError, None),
        (dict(nodata="0", nir=band, red=band), TypeError, "nodata for band 'nir' must be an integer, not str"),
        (dict(nodata=True, nir=band, red=band), TypeError, "nodata for band 'nir' must be an integer, not bool"),
        (dict(nodata=-40000, nir=band.astype(np.int16), red=band.astype(np.int16)), ValueError,
         "nodata -40000 for band 'nir' cannot occur in its int16 values (-32768 to 32767)"),
    ]


def test_argument_errors_in_the_users_words(rng):
    for kwargs, error, message in _calls(rng):
        with pytest.raises(error) as caught:
            compute_index("NDVI", **kwargs)
        if message is not None:
            assert str(caught.value) == message
    band = rng.integers(0, 100, (4, 6), dtype=np.uint16)
    with pytest.raises(TypeError) as caught:
        compute_index("EVI", nir=band, red=band, blue=band)
    assert str(caught.value).startswith("EVI depends on the bands' units: give their encoding as scale_factor=")
    out = np.empty((4, 6), np.float32)
    over = np.ndarray((4, 6), np.float32, buffer=np.zeros(4 * 6 * 2, np.uint16).data)
    with pytest.raises(ValueError, match="^out shares memory with band 'nir'$"):
        compute_index("NDVI", over, nir=over.view(np.uint16)[:, ::2], red=band)
    with pytest.raises(TypeError, match="^out= cannot be used with dask-backed bands"):
        da = pytest.importorskip("dask.array")
        compute_index("NDVI", out, nir=da.from_array(band), red=band)
    assert issubclass(ComputeError, RuntimeError)
    for constants in ({"L": [1.0]}, {"L": 10**400}, {"L": "0.5"}):
        with pytest.raises(TypeError) as caught:
            compute_index("SAVI", constants=constants, scale_factor=1, nir=band, red=band)
        with pytest.raises(TypeError) as direct:
            compile_formula("L", [], constants=constants)
        assert str(caught.value) == str(direct.value)
    with pytest.raises(ValueError, match="^SAVI has no constant 1 "):
        compute_index("SAVI", constants={1: 0.0, b"x": 0.0}, scale_factor=1, nir=band, red=band)


def test_encodings_complete_exact_and_on_one_grid(rng):
    nir, red = np.array([[5000, 0, 7]], np.uint16), np.array([[1000, 1000, 7]], np.uint16)
    # NaN at every probe tells nothing about units: such a formula needs its encoding.
    with pytest.raises(TypeError, match="depends on the bands' units"):
        compute_formula("sqrt(nir - red)", nir=nir, red=red)
    assert compute_formula("sqrt(nir - red)", scale_factor=1e-4, nir=nir, red=red)[0, 0] == np.sqrt(np.float32(4000) * np.float32(1e-4))
    with pytest.raises(TypeError, match="^compute_formula\\('2'\\) names no band"):
        compute_formula("2")
    # Nodata follows the named bands even where the encoding cancels one out of the program.
    cancelled = compute_formula("(nir - nir + red) * red", scale_factor=1e-4, nodata=0, nir=nir, red=red)
    assert np.isnan(cancelled[0, 1]) and not np.isnan(cancelled[0, 0])
    # A float32 attribute is the decimal its writer meant; an int16 band's shift stays exact.
    xr = pytest.importorskip("xarray")
    tagged = xr.DataArray(nir, attrs={"scale_factor": np.float32(1e-4), "add_offset": np.float32(-0.1)})
    assert_bits_equal(compute_index("NDVI", nir=tagged, red=tagged * 0 + red).values,
                      compute_index("NDVI", scale_factor=1e-4, add_offset=-0.1, nir=nir, red=red))
    small = np.array([[1, 2, 3]], np.int16)
    assert_bits_equal(compute_formula("nir + red", scale_factor=1 / 3, nir=small, red=small),
                      compute_formula("nir + red", scale_factor=1 / 3, nir=small.astype(np.uint16), red=small.astype(np.uint16)))
    # A product band standing for two names takes its encoding under both; a folded -0.0 keeps its sign.
    x = np.array([[20000]], np.uint16)
    assert compute_formula("nir - nir2", sensor="landsat_c2_l2", SR_B5=x, scale_factor={"SR_B5": 1e-4},
                           add_offset={"SR_B5": 0.0})[0, 0] == 0
    evi = compute_index("EVI", constants={"G": -0.0}, scale_factor=1e-4, add_offset=-0.1, nir=nir, red=red, blue=red)
    assert bits(evi)[0, 0] == 0x80000000
    # Bands on different grids, or transposed, are refused rather than paired by position.
    square = rng.integers(1, 100, (2, 2), dtype=np.uint16)
    a = xr.DataArray(square, dims=("y", "x"), coords={"y": [0, 1], "x": [0, 1]})
    for other in (a.assign_coords(y=[10, 11]), xr.DataArray(square, dims=("x", "y"))):
        with pytest.raises(ValueError, match="^band 'red' is not on the grid of 'nir'"):
            compute_index("NDVI", nir=a, red=other)
    # A product's non-reflectance files may come along with its bands.
    hls = compute_index("NDVI", sensor="hls_l30", B05=small, B04=small, Fmask=np.zeros((1, 3), np.uint8))
    assert np.all(hls == 0)


def test_compiling_formulas_needs_no_numpy():
    code = ("import sys, vexlora_formulas as vf; vf.compile_formula('(a - b) / a', ['a', 'b'], scale_factor=1e-4, "
            "nodata=0); assert 'numpy' not in sys.modules; vf.compute_index; assert 'numpy' in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
