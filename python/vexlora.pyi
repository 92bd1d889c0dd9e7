# Type stub of the vexlora extension module: its seven functions, the CompiledExpr class and the
# instruction mappings of the band-math language. Installed beside the module and as vexlora-stubs.

from collections.abc import Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypedDict, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "calculate_normalized_difference_inplace",
    "calculate_ratio_inplace",
    "calculate_adjusted_difference_inplace",
    "calculate_evi_inplace",
    "calculate_normalized_difference",
    "compile_expr",
    "execute_expr_inplace",
    "CompiledExpr",
]

# A 2-D array of native uint16, read only (any memory order and strides).
_Band = npt.NDArray[np.uint16]
# A 2-D array of native float32, written in place (any memory order and strides, writeable).
_Out = npt.NDArray[np.float32]
# Python numbers read as a double and rounded once to float32.
_Scalar = SupportsFloat | SupportsIndex

class _PushBand(TypedDict):
    type: Literal["push_band"]
    index: SupportsIndex  # position of the band in the `bands` sequence

class _PushScalar(TypedDict):
    type: Literal["push_scalar"]
    value: _Scalar

class _Operation(TypedDict):
    type: Literal["add", "sub", "mul", "div", "pow", "neg", "abs", "sqrt"]

# One postfix instruction; extra keys are ignored and any object with item lookup is accepted.
_Instruction = _PushBand | _PushScalar | _Operation

@final
class CompiledExpr:
    """An immutable compiled band-math program; only compile_expr creates one."""

    def __new__(cls, *args: Any, **kwargs: Any) -> CompiledExpr: ...  # always raises TypeError

def calculate_normalized_difference_inplace(band_a: _Band, band_b: _Band, out_buffer: _Out) -> None:
    """out = (a - b) / ((a + b) + E) in float32, E = float32(1e-10)."""

def calculate_ratio_inplace(band_a: _Band, band_b: _Band, out_buffer: _Out) -> None:
    """out = a / (b + E) in float32."""

def calculate_adjusted_difference_inplace(band_a: _Band, band_b: _Band, l: _Scalar, out_buffer: _Out) -> None:
    """out = ((a - b) / (((a + b) + l) + E)) * (1 + l) in float32."""

def calculate_evi_inplace(
    nir: _Band, red: _Band, blue: _Band, g: _Scalar, c1: _Scalar, c2: _Scalar, l: _Scalar, out_buffer: _Out
) -> None:
    """out = ((nir - red) / (((((red * c1) + nir) - (blue * c2)) + l) + E)) * g in float32."""

def calculate_normalized_difference(band_a: _Band, band_b: _Band) -> npt.NDArray[np.float32]:
    """A new C-ordered float32 array holding (a - b) / ((a + b) + E)."""

def compile_expr(instructions: Sequence[_Instruction], num_bands: SupportsIndex) -> CompiledExpr:
    """Decodes a postfix program for `num_bands` bands; checks op names and operand types only."""

def execute_expr_inplace(expr: CompiledExpr, bands: Sequence[_Band] | _Band, out_buffer: _Out) -> None:
    """Runs `expr` for every element of out_buffer on a 64-entry stack; len(bands) must equal num_bands."""
