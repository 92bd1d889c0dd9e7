"""Formulas for vexlora: a compiler from formula text such as "(nir - red) / (nir + red)" to
band-math programs, a catalogue of spectral indices (and a loader of the community's catalogue)
and compute_index to run them on NumPy bands."""

from typing import TYPE_CHECKING, Any

from ._community import COMMUNITY_BANDS, load_catalogue
from ._compile import compile_formula
from ._errors import ComputeError, FormulaError
from ._instructions import Instruction
from .catalogue import BANDS, CATALOGUE, MORE_BANDS, Catalogue, SpectralIndex, get_index
from .sensors import SENSORS, Sensor, get_sensor

if TYPE_CHECKING:
    from ._compute import compute_formula, compute_index


def __getattr__(name: str) -> Any:
    # The functions that take arrays need NumPy; compiling formulas does not, so NumPy is imported
    # only when one of them is first asked for.
    if name in ("compute_index", "compute_formula"):
        from . import _compute

        return getattr(_compute, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "BANDS",
    "CATALOGUE",
    "COMMUNITY_BANDS",
    "SENSORS",
    "Catalogue",
    "ComputeError",
    "FormulaError",
    "Instruction",
    "MORE_BANDS",
    "Sensor",
    "SpectralIndex",
    "compile_formula",
    "compute_formula",
    "compute_index",
    "get_index",
    "get_sensor",
    "load_catalogue",
]
