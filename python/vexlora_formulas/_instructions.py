"""The instruction mappings that vexlora.compile_expr takes, typed as the extension's stub types
them, so that a program built here can be handed to compile_expr unchanged."""

from __future__ import annotations

from typing import Literal, SupportsFloat, SupportsIndex, TypedDict


class PushBand(TypedDict):
    type: Literal["push_band"]
    index: SupportsIndex  # position of the band in the `bands` list; always an int here


class PushScalar(TypedDict):
    type: Literal["push_scalar"]
    value: SupportsFloat | SupportsIndex  # always a float here; the module rounds it to float32


OpName = Literal["add", "sub", "mul", "div", "pow", "neg", "abs", "sqrt"]


class Operation(TypedDict):
    type: OpName


Instruction = PushBand | PushScalar | Operation

STACK_SIZE = 64  # values that a program may hold at once
