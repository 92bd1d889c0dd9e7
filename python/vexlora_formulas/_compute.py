"""compute_index: a catalogue index from named uint16 band arrays into a float32 buffer, with the
compiled program cached per index and constants."""

from __future__ import annotations

import functools
from collections.abc import Mapping

import numpy as np
import numpy.typing as npt

import vexlora

from ._compile import compile_formula
from .catalogue import CATALOGUE, get_index


def compute_index(
    name: str,
    out: npt.NDArray[np.float32] | None = None,
    *,
    constants: Mapping[str, float] | None = None,
    **band_arrays: npt.NDArray[np.uint16],
) -> npt.NDArray[np.float32]:
    """Computes the catalogue index `name` into `out` (a new C-ordered array if None) and returns it.

    `band_arrays` maps band names to 2-D uint16 arrays of one shape; bands the index does not use
    are ignored. `constants` overrides some of the index's default constants.
    """
    entry = get_index(name)
    unknown = sorted(set(constants or {}) - set(entry.constants))
    if unknown:
        known = ", ".join(entry.constants) or "none"
        raise ValueError(f"{entry.name} has no constant {unknown[0]!r} (its constants: {known})")
    missing = [band for band in entry.bands if band not in band_arrays]
    if missing:
        raise TypeError(f"compute_index({entry.name!r}) missing band arrays: {', '.join(map(repr, missing))}")
    bands = [band_arrays[band] for band in entry.bands]
    shape = np.shape(bands[0])
    for band, array in zip(entry.bands, bands):
        if np.shape(array) != shape:
            raise ValueError(f"band {band!r} has shape {np.shape(array)}, expected {shape} like {entry.bands[0]!r}")
    if out is None:
        out = np.empty(shape, np.float32)
    elif np.shape(out) != shape:
        raise ValueError(f"out has shape {np.shape(out)}, expected the bands' shape {shape}")
    merged = {**entry.constants, **(constants or {})}
    vexlora.execute_expr_inplace(_program(entry.name, tuple(sorted(merged.items()))), bands, out)
    return out


@functools.lru_cache(maxsize=256)
def _program(name: str, constants: tuple[tuple[str, float], ...]) -> vexlora.CompiledExpr:
    entry = CATALOGUE[name]
    return compile_formula(entry.formula, entry.bands, constants=dict(constants), compile=True)
