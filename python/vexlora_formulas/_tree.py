"""Syntax tree of a parsed formula: numbers, names, unary and binary operators and function calls,
each node with the 1-based line and column of its token."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Number:
    text: str
    line: int
    column: int

    @property
    def value(self) -> float:
        return float(self.text)  # the nearest double, which push_scalar then rounds to float32


@dataclass(frozen=True, slots=True)
class Name:
    name: str
    line: int
    column: int


@dataclass(frozen=True, slots=True)
class Unary:
    op: str  # "-" or "+"
    operand: Node
    line: int
    column: int


@dataclass(frozen=True, slots=True)
class Binary:
    op: str  # "+", "-", "*", "/" or "**"
    left: Node
    right: Node
    line: int
    column: int


@dataclass(frozen=True, slots=True)
class Call:
    function: str  # "abs" or "sqrt"
    argument: Node
    line: int
    column: int


@dataclass(frozen=True, slots=True)
class Affine:
    """A linear combination of stored band values (DN), computed exactly where possible:
    ((Σ coef x DN) + inner) x unit + outer, terms in the order their bands first appear."""

    terms: tuple[tuple[str, float], ...]  # (band, coefficient): integers unless unit is 1
    inner: float
    unit: float
    outer: float
    line: int
    column: int


Node = Number | Name | Unary | Binary | Call | Affine

FUNCTIONS = ("abs", "sqrt")


def names_in(root: Node) -> list[str]:
    """The names that `root` reads, each once, in the order they first appear (iterative)."""
    names: list[str] = []
    pending = [root]
    while pending:
        node = pending.pop()
        if isinstance(node, Name):
            if node.name not in names:
                names.append(node.name)
        elif isinstance(node, Binary):
            pending += [node.right, node.left]
        elif isinstance(node, Unary):
            pending.append(node.operand)
        elif isinstance(node, Call):
            pending.append(node.argument)
    return names
