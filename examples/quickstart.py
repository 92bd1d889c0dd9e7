"""vexlora quick start: spectral indices of a synthetic 4096 x 4096 multispectral scene.

Builds blue, red and near-infrared uint16 bands (surface reflectance x 10000, no offset, with
fields, water and noise), computes NDVI and the red/NIR ratio (which do not depend on the scale),
SAVI from the catalogue with the bands' encoding (scale_factor=1e-4) and EVI with the fixed kernel
(its L = 1 in reflectance is 10000 in these DN), checks every result bit for bit against a plain
NumPy float32 computation in the same order of operations, and prints the time, megapixels per
second and speed-up over NumPy.

    python examples/quickstart.py [--size N] [--repeat R]
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

import vexlora
from vexlora_formulas import compute_index

EPS = np.float32(np.array([0x2EDBE6FF], dtype=np.uint32).view(np.float32)[0])  # float32 nearest to 1e-10

Band = npt.NDArray[np.uint16]
Image = npt.NDArray[np.float32]


def synthetic_scene(size: int, seed: int = 2026) -> tuple[Band, Band, Band]:
    """Blue, red and NIR bands with smooth land-cover patches, a lake and sensor noise."""
    rng = np.random.default_rng(seed)
    coarse = rng.random((size // 256 + 2, size // 256 + 2))
    vegetation = np.kron(coarse, np.ones((256, 256)))[:size, :size]  # blocky "fields"
    yy, xx = np.mgrid[0:size, 0:size]
    water = ((yy - size * 0.3) ** 2 + (xx - size * 0.6) ** 2) < (size * 0.12) ** 2

    def band(base: float, veg_gain: float, water_value: float) -> Band:
        values = base + veg_gain * vegetation + rng.normal(0, 150, (size, size))
        values[water] = water_value
        return np.clip(values, 0, 65535).astype(np.uint16)

    blue = band(600, -150, 400)
    red = band(1200, -700, 300)
    nir = band(1800, 3500, 150)
    return blue, red, nir


def numpy_indices(blue: Band, red: Band, nir: Band) -> dict[str, Callable[[], Image]]:
    """The same formulas in NumPy float32, operation for operation, from the same uint16 bands."""
    scale, l_dn, l_factor = np.float32(1e-4), np.float32(5000.0), np.float32(1.5)
    g, c1, c2, l_evi = np.float32(2.5), np.float32(6.0), np.float32(7.5), np.float32(10000.0)

    def f32(*bands: Band) -> tuple[Image, ...]:
        return tuple(band.astype(np.float32) for band in bands)

    def ndvi() -> Image:
        n, r = f32(nir, red)
        return (n - r) / ((n + r) + EPS)

    def ratio() -> Image:
        r, n = f32(red, nir)
        return r / (n + EPS)

    def savi() -> Image:
        # The catalogue's (1 + L) * ((nir - red) / (nir + red + L)) on reflectance DN x 1e-4, as its
        # program computes it: exact sums of DN, one rounding by the scale on each side.
        n, r = f32(nir, red)
        return l_factor * (((n - r) * scale) / ((((n + r) + l_dn) * scale) + EPS))

    def evi() -> Image:
        n, r, b = f32(nir, red, blue)
        return ((n - r) / (((((r * c1) + n) - (b * c2)) + l_evi) + EPS)) * g

    return {"NDVI": ndvi, "ratio (red / NIR)": ratio, "SAVI (L = 0.5)": savi, "EVI": evi}


def vexlora_indices(blue: Band, red: Band, nir: Band, out: Image) -> dict[str, Callable[[], None]]:
    return {
        "NDVI": lambda: vexlora.calculate_normalized_difference_inplace(nir, red, out),
        "ratio (red / NIR)": lambda: vexlora.calculate_ratio_inplace(red, nir, out),
        "SAVI (L = 0.5)": lambda: compute_index("SAVI", out, scale_factor=1e-4, nir=nir, red=red),
        "EVI": lambda: vexlora.calculate_evi_inplace(nir, red, blue, 2.5, 6.0, 7.5, 10000.0, out),
    }


def best_time(fn: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4096, help="scene width and height in pixels")
    parser.add_argument("--repeat", type=int, default=5, help="timed repetitions (the best is shown)")
    args = parser.parse_args()

    blue, red, nir = synthetic_scene(args.size)
    out = np.empty(blue.shape, np.float32)
    megapixels = blue.size / 1e6
    reference = numpy_indices(blue, red, nir)
    ours = vexlora_indices(blue, red, nir, out)

    print(f"synthetic scene: {args.size} x {args.size} uint16 bands (blue, red, NIR), {megapixels:.1f} Mpx")
    print(f"{'index':<20}{'vexlora ms':>12}{'Mpx/s':>10}{'NumPy ms':>11}{'speed-up':>10}  bit-identical")
    all_identical = True
    for name, numpy_fn in reference.items():
        expected = numpy_fn()
        ours[name]()
        identical = bool(np.array_equal(out.view(np.uint32), expected.view(np.uint32)))
        all_identical &= identical
        t_ours = best_time(ours[name], args.repeat)
        t_numpy = best_time(numpy_fn, max(1, args.repeat // 2))
        print(f"{name:<20}{t_ours * 1e3:>12.2f}{megapixels / t_ours:>10.0f}{t_numpy * 1e3:>11.1f}"
              f"{t_numpy / t_ours:>9.1f}x  {'yes' if identical else 'NO'}")
    ndvi = np.empty_like(out)
    vexlora.calculate_normalized_difference_inplace(nir, red, ndvi)
    print(f"mean NDVI {ndvi.mean():.3f}; vegetated (NDVI > 0.4): {100 * (ndvi > 0.4).mean():.1f}% of the scene")
    catalogue_evi = compute_index("EVI", scale_factor=1e-4, nir=nir, red=red, blue=blue)
    vexlora.calculate_evi_inplace(nir, red, blue, 2.5, 6.0, 7.5, 10000.0, ndvi)
    savi = compute_index("SAVI", scale_factor=1e-4, nir=nir, red=red)
    agree = float(np.max(np.abs(catalogue_evi - ndvi) / np.maximum(np.abs(ndvi), 1e-3)))
    print(f"EVI median {np.median(ndvi):.3f} (catalogue with scale_factor=1e-4 within {agree:.1e} of the kernel); "
          f"SAVI median {np.median(savi):.3f}")
    if not all_identical:
        print("error: results differ from the NumPy float32 computation", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
