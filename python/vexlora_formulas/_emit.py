"""Turns a syntax tree into the postfix instruction list of vexlora.compile_expr, operands in the
formula's left-to-right order, without folding or reordering anything."""

from __future__ import annotations

from collections.abc import Mapping

from ._errors import error_at, quoted
from ._instructions import STACK_SIZE, Instruction, OpName, PushBand, PushScalar
from ._tree import Affine, Binary, Call, Name, Node, Number, Unary

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
        if isinstance(node, (Number, Name, Affine)):
            pushed: list[Instruction] = (
                _affine(node, bands) if isinstance(node, Affine) else [_push(node, bands, constants, multiline)]
            )
            if depth + _peak(pushed) > STACK_SIZE:
                token = node.text if isinstance(node, Number) else node.name if isinstance(node, Name) else node.terms[0][0]
                what = f"formula needs more than {STACK_SIZE} stack entries at token {quoted(token)}"
                raise error_at(what, token, node.line, node.column, multiline)
            program += pushed
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


def _affine(node: Affine, bands: Mapping[str, int]) -> list[Instruction]:
    """((Σ coef x DN) + inner) x unit + outer, each step one float32 operation; a coefficient of
    +-1, an inner or outer of 0 and a unit of 1 emit nothing (or a neg / sub instead of add)."""
    program: list[Instruction] = []
    for position, (band, coef) in enumerate(node.terms):
        program.append({"type": "push_band", "index": bands[band]})
        if position == 0:
            if coef == -1:
                program.append({"type": "neg"})
            elif coef != 1:
                program += [{"type": "push_scalar", "value": coef}, {"type": "mul"}]
            continue
        if abs(coef) != 1:
            program += [{"type": "push_scalar", "value": abs(coef)}, {"type": "mul"}]
        program.append({"type": "add" if coef > 0 else "sub"})
    program += _add_scalar(node.inner)
    if node.unit != 1:
        program += [{"type": "push_scalar", "value": node.unit}, {"type": "mul"}]
    return program + _add_scalar(node.outer)


def _add_scalar(value: float) -> list[Instruction]:
    if value == 0:
        return []
    return [{"type": "push_scalar", "value": abs(value)}, {"type": "add" if value > 0 else "sub"}]


def _peak(program: list[Instruction]) -> int:
    """The most values `program` holds at once (every push adds one, a binary op removes one)."""
    depth = peak = 0
    for instruction in program:
        kind = instruction["type"]
        depth += 1 if kind.startswith("push") else -1 if kind in _BINARY.values() else 0
        peak = max(peak, depth)
    return peak


def nodata_mask(program: list[Instruction], nodata: Mapping[int, int]) -> list[Instruction]:
    """`program` followed by + (-0.0 x sqrt(|Π (DN_k - nodata_k)| - 0.5)) over the bands at positions
    `nodata`: that adds -0.0 (no change to any value, signed zeros included) where no band holds its
    nodata value and NaN where one does, since then the product is 0 and sqrt(-0.5) is NaN.
    Products of up to 7 factors of at most 65535 stay finite in float32; more bands take more groups."""
    items = list(nodata.items())
    for start in range(0, len(items), 7):
        for number, (index, value) in enumerate(items[start : start + 7]):
            program = program + [{"type": "push_band", "index": index}]
            if value != 0:
                program += [{"type": "push_scalar", "value": float(value)}, {"type": "sub"}]
            if number:
                program.append({"type": "mul"})
        program = program + [
            {"type": "abs"},
            {"type": "push_scalar", "value": 0.5},
            {"type": "sub"},
            {"type": "sqrt"},
            {"type": "push_scalar", "value": -0.0},
            {"type": "mul"},
            {"type": "add"},
        ]
    return program
