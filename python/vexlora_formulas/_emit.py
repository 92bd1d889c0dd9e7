"""Turns a syntax tree into the postfix instruction list of vexlora.compile_expr, operands in the
formula's left-to-right order, without folding or reordering anything."""

from __future__ import annotations

from collections.abc import Mapping

from ._errors import error_at, quoted
from ._instructions import STACK_SIZE, Instruction, OpName, PushBand, PushScalar
from ._tree import Binary, Call, Name, Node, Number, Unary

_BINARY: dict[str, OpName] = {"+": "add", "-": "sub", "*": "mul", "/": "div", "**": "pow"}
_CALLS: dict[str, OpName] = {"abs": "abs", "sqrt": "sqrt"}


def emit(
    root: Node, bands: Mapping[str, int], constants: Mapping[str, float], *, multiline: bool = False
) -> list[Instruction]:
    """The postfix program of `root`; names resolve to band positions or constant values. Errors
    give the line of their place too if the formula has several (`multiline`).

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
                what = f"formula needs more than {STACK_SIZE} stack entries at token {quoted(token)}"
                raise error_at(what, token, node.line, node.column, multiline)
            program.append(_push(node, bands, constants, multiline))
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


def _push(
    node: Number | Name, bands: Mapping[str, int], constants: Mapping[str, float], multiline: bool
) -> PushBand | PushScalar:
    if isinstance(node, Number):
        return {"type": "push_scalar", "value": node.value}
    if node.name in bands:
        return {"type": "push_band", "index": bands[node.name]}
    if node.name in constants:
        return {"type": "push_scalar", "value": constants[node.name]}
    raise error_at(f"unknown name {quoted(node.name)}", node.name, node.line, node.column, multiline)
