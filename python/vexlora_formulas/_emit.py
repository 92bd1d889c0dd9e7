"""Turns a syntax tree into the postfix instruction list of vexlora.compile_expr, operands in the
formula's left-to-right order, without folding or reordering anything."""

from __future__ import annotations

from collections.abc import Mapping

from ._errors import FormulaError
from ._instructions import STACK_SIZE, Instruction, OpName, PushBand, PushScalar
from ._tree import Binary, Call, Name, Node, Number, Unary

_BINARY: dict[str, OpName] = {"+": "add", "-": "sub", "*": "mul", "/": "div", "**": "pow"}
_CALLS: dict[str, OpName] = {"abs": "abs", "sqrt": "sqrt"}


def emit(root: Node, bands: Mapping[str, int], constants: Mapping[str, float]) -> list[Instruction]:
    """The postfix program of `root`; names resolve to band positions or constant values.

    Iterative, so that long chains such as a + b + c + ... do not exhaust Python's recursion limit.
    """
    program: list[Instruction] = []
    depth = 0
    pending: list[tuple[Node, bool]] = [(root, False)]  # (node, operands already emitted)
    while pending:
        node, expanded = pending.pop()
        if isinstance(node, (Number, Name)):
            if depth == STACK_SIZE:
                token = node.text if isinstance(node, Number) else node.name
                raise FormulaError(
                    f"formula needs more than {STACK_SIZE} stack entries at token '{token}' at column {node.column}",
                    token,
                    node.column,
                )
            program.append(_push(node, bands, constants))
            depth += 1
        elif expanded:
            if isinstance(node, Binary):
                program.append({"type": _BINARY[node.op]})
                depth -= 1
            elif isinstance(node, Call):
                program.append({"type": _CALLS[node.function]})
            elif node.op == "-":
                program.append({"type": "neg"})
            # unary plus emits nothing
        else:
            pending.append((node, True))
            if isinstance(node, Binary):
                pending += [(node.right, False), (node.left, False)]  # left is emitted first
            else:
                pending.append((node.operand if isinstance(node, Unary) else node.argument, False))
    return program


def _push(node: Number | Name, bands: Mapping[str, int], constants: Mapping[str, float]) -> PushBand | PushScalar:
    if isinstance(node, Number):
        return {"type": "push_scalar", "value": node.value}
    if node.name in bands:
        return {"type": "push_band", "index": bands[node.name]}
    if node.name in constants:
        return {"type": "push_scalar", "value": constants[node.name]}
    raise FormulaError(f"unknown name '{node.name}' at column {node.column}", node.name, node.column)
