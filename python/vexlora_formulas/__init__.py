"""Formulas for vexlora: a compiler from formula text such as "(nir - red) / (nir + red)" to
band-math programs, a catalogue of spectral indices and compute_index to run them on NumPy bands."""

from ._compile import compile_formula
from ._compute import compute_index
from ._errors import FormulaError
from ._instructions import Instruction
from .catalogue import BANDS, CATALOGUE, SCALE, SpectralIndex, get_index

__all__ = [
    "BANDS",
    "CATALOGUE",
    "SCALE",
    "FormulaError",
    "Instruction",
    "SpectralIndex",
    "compile_formula",
    "compute_index",
    "get_index",
]
