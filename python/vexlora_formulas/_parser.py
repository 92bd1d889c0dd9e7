"""Parser of the formula language, with Python's precedence and associativity:
+ - (left) below * / (left) below unary + - below ** (right, binds tighter than a unary on its left).

It keeps its pending operators and parentheses on an explicit stack instead of recursing, so the
depth of a formula is bounded by MAX_NESTING alone, not by Python's recursion limit or by how deep
the caller's own stack already is.
"""

from __future__ import annotations

from dataclasses import dataclass

from ._errors import error_at, quoted, unexpected
from ._tokens import Kind, Token, tokenize
from ._tree import FUNCTIONS, Binary, Call, Name, Node, Number, Unary

MAX_NESTING = 100  # parentheses, signs and powers nested deeper than this are refused


def parse(text: str) -> Node:
    """The syntax tree of `text`; FormulaError names the place and token of the first problem."""
    return _parse(tokenize(text))


@dataclass(slots=True)
class _Sign:
    """A unary + or - waiting for its operand."""

    op: Token


@dataclass(slots=True)
class _Operator:
    """A binary operator with its left operand, waiting for the right one."""

    op: Token
    left: Node


@dataclass(slots=True)
class _Group:
    """An open parenthesis, of a function call if `function` is set, waiting for its ')'."""

    opening: Token
    function: Token | None


_Frame = _Sign | _Operator | _Group


def _parse(tokens: list[Token]) -> Node:
    # The grammar, and the frame that stands for each rule while its operand is being read:
    #   sum     = product (("+" | "-") product)*       -> _Operator "+" / "-"
    #   product = unary (("*" | "/") unary)*           -> _Operator "*" / "/"
    #   unary   = ("+" | "-") unary | power            -> _Sign
    #   power   = primary ["**" unary]                 -> _Operator "**"
    #   primary = NUMBER | NAME | NAME "(" sum ")" | "(" sum ")"   -> _Group
    # Every unary is one nesting level deeper than the signs, exponents and parentheses
    # around it, so the nesting is the number of _Sign, "**" and _Group frames. Tokens are
    # taken in order and each check comes where a recursive descent would make it, so errors
    # and their order are those of the grammar read top-down.
    ops = [token.text if token.kind is Kind.OPERATOR else "" for token in tokens]
    multiline = tokens[-1].line > 1  # the END token is past every line break
    pos = 0  # never moves past the END token: taking it is always an error
    stack: list[_Frame] = []
    nesting = 0
    while True:
        # Read a unary: its signs, then its primary.
        while True:
            if nesting > MAX_NESTING:
                token = tokens[pos]
                what = f"nesting deeper than {MAX_NESTING} levels at token {quoted(token.text)}"
                raise error_at(what, token.text, token.line, token.column, multiline)
            if ops[pos] not in ("+", "-"):
                break
            stack.append(_Sign(tokens[pos]))
            pos += 1
            nesting += 1
        token = tokens[pos]
        if token.kind is Kind.END:
            raise unexpected(token.text, token.line, token.column, multiline)
        pos += 1
        if token.kind is Kind.NAME and ops[pos] == "(":
            if token.text not in FUNCTIONS:
                what = f"unknown function {quoted(token.text)}"
                raise error_at(what, token.text, token.line, token.column, multiline)
            stack.append(_Group(tokens[pos], token))
            pos += 1
            nesting += 1
            continue
        if ops[pos - 1] == "(":
            stack.append(_Group(token, None))
            nesting += 1
            continue
        node = _operand(token, tokens[pos], multiline)
        # Close every rule that `node` completes, until one takes a further operator.
        while True:
            op = ops[pos]
            if op == "**":
                stack.append(_Operator(tokens[pos], node))
                pos += 1
                nesting += 1
                break
            # A power is complete, and with it every exponent and sign waiting for a unary.
            while stack:
                frame = stack[-1]
                if isinstance(frame, _Sign):
                    node = Unary(frame.op.text, node, frame.op.line, frame.op.column)
                elif isinstance(frame, _Operator) and frame.op.text == "**":
                    node = Binary("**", frame.left, node, frame.op.line, frame.op.column)
                else:
                    break
                stack.pop()
                nesting -= 1
            node = _reduce(stack, node, ("*", "/"))
            if op in ("*", "/"):
                stack.append(_Operator(tokens[pos], node))
                pos += 1
                break
            node = _reduce(stack, node, ("+", "-"))
            if op in ("+", "-"):
                stack.append(_Operator(tokens[pos], node))
                pos += 1
                break
            # A sum is complete: it ends a parenthesis, or the formula.
            closing = tokens[pos]
            if not stack:
                if closing.kind is not Kind.END:
                    raise unexpected(closing.text, closing.line, closing.column, multiline)
                return node
            group = stack.pop()
            nesting -= 1
            assert isinstance(group, _Group)  # every other frame was reduced above
            if closing.kind is Kind.END:
                opening = group.opening
                raise error_at("unclosed '('", "(", opening.line, opening.column, multiline)
            if op != ")":
                raise unexpected(closing.text, closing.line, closing.column, multiline)
            pos += 1
            if group.function is not None:
                node = Call(group.function.text, node, group.function.line, group.function.column)
            # The parenthesised sum is a primary: it may be the base of a power, and so on.


def _reduce(stack: list[_Frame], node: Node, operators: tuple[str, ...]) -> Node:
    """`node` as the right operand of the pending left-associative operator of `operators`, if any."""
    top = stack[-1] if stack else None
    if isinstance(top, _Operator) and top.op.text in operators:
        stack.pop()
        return Binary(top.op.text, top.left, node, top.op.line, top.op.column)
    return node


def _operand(token: Token, following: Token, multiline: bool) -> Node:
    """The number or name that `token` is, where a primary must start."""
    if token.kind is Kind.NUMBER:
        return Number(token.text, token.line, token.column)
    if token.kind is Kind.NAME:
        if token.text in FUNCTIONS:
            found = quoted(following.text) if following.text else "end of formula"
            what = f"expected '(' after '{token.text}', got {found}"
            raise error_at(what, following.text, following.line, following.column, multiline)
        return Name(token.text, token.line, token.column)
    raise unexpected(token.text, token.line, token.column, multiline)
