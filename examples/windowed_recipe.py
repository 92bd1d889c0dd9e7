"""Recipe: a band-math formula over a GeoTIFF too large for memory, strip by strip with rasterio
windows, reusing the same input and output buffers for every window.

Only `strip_rows` rows of each band and of the result are in memory at once. The formula is
compiled once; the pixels of each strip are computed by one vexlora call on all cores while the
GIL is released. Strips a multiple of the file's block height read whole blocks.

    python examples/windowed_recipe.py [--size N] [--strip-rows R] [--dir DIRECTORY]
"""

from __future__ import annotations

import argparse
import tempfile
from collections.abc import Mapping, Sequence
from pathlib import Path

import numpy as np
import rasterio  # type: ignore[import-untyped]
from rasterio.windows import Window  # type: ignore[import-untyped]

import vexlora
from rasterio_recipe import BAND_NUMBERS, write_sample_scene
from vexlora_formulas import compile_formula, get_index


def process_windowed(
    src_path: str | Path,
    dst_path: str | Path,
    formula: str,
    band_numbers: Mapping[str, int],
    *,
    constants: Mapping[str, float] | None = None,
    strip_rows: int = 512,
) -> int:
    """Writes `formula` of the named source bands to a one-band float32 file; returns the number of strips."""
    names = list(band_numbers)
    expr = compile_formula(formula, names, constants=constants, compile=True)
    with rasterio.open(src_path) as src:
        rows = max(1, min(strip_rows, src.height))
        inputs = np.empty((len(names), rows, src.width), np.uint16)  # reused for every strip
        out = np.empty((rows, src.width), np.float32)  # reused output buffer
        profile = src.profile
        profile.update(dtype="float32", count=1, nodata=None)
        if profile.get("predictor") == 2:
            profile["predictor"] = 3
        strips = 0
        with rasterio.open(dst_path, "w", **profile) as dst:
            for top in range(0, src.height, rows):
                window = Window(0, top, src.width, min(rows, src.height - top))
                height = window.height
                for k, name in enumerate(names):  # the first `height` rows of a plane are contiguous
                    src.read(band_numbers[name], window=window, out=inputs[k, :height])
                vexlora.execute_expr_inplace(expr, [inputs[k, :height] for k in range(len(names))], out[:height])
                dst.write(out[:height], 1, window=window)
                strips += 1
    return strips


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--size", type=int, default=2048, help="rows and columns of the sample scene")
    parser.add_argument("--strip-rows", type=int, default=256, help="rows per window")
    parser.add_argument("--dir", type=Path, help="where to write the files (default: a temporary directory)")
    args = parser.parse_args(argv)

    savi = get_index("SAVI")
    with tempfile.TemporaryDirectory() as tmp:
        directory = args.dir or Path(tmp)
        src_path, dst_path = directory / "scene.tif", directory / "savi.tif"
        write_sample_scene(src_path, (args.size, args.size), nodata=None)
        bands = {name: BAND_NUMBERS[name] for name in savi.bands}
        strips = process_windowed(
            src_path, dst_path, savi.formula, bands, constants=savi.constants, strip_rows=args.strip_rows
        )
        with rasterio.open(dst_path) as dst:
            stored = dst.read(1)
        with rasterio.open(src_path) as src:  # the check reads everything: fine for the sample only
            whole = np.empty(stored.shape, np.float32)
            expr = compile_formula(savi.formula, list(bands), constants=savi.constants, compile=True)
            vexlora.execute_expr_inplace(expr, [src.read(n) for n in bands.values()], whole)
        same = np.array_equal(stored.view(np.uint32), whole.view(np.uint32))
        verdict = "bit-identical to one call" if same else "DIFFERENT"
        print(f"SAVI in {strips} strips of {args.strip_rows} rows: {verdict}")
    return 0 if same else 1


if __name__ == "__main__":
    raise SystemExit(main())
