"""Formulas for vexlora: a compiler from formula text such as "(nir - red) / (nir + red)" to
band-math programs, a catalogue of spectral indices and compute_index to run them on NumPy bands."""

from ._compile import compile_formula
from ._compute import compute_formula, compute_index
from ._errors import ComputeError, FormulaError
from ._instructions import Instruction
from .catalogue import BANDS, CATALOGUE, SpectralIndex, get_index
from .sensors import SENSORS, Sensor, get_sensor

__all__ = [
    "BANDS",
    "CATALOGUE",
    "SENSORS",
    "ComputeError",
    "FormulaError",
    "Instruction",
    "Sensor",
    "SpectralIndex",
    "compile_formula",
    "compute_formula",
    "compute_index",
    "get_index",
    "get_sensor",
]
