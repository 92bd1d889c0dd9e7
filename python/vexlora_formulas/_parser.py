"""Recursive-descent parser of the formula language, with Python's precedence and associativity:
+ - (left) below * / (left) below unary + - below ** (right, binds tighter than a unary on its left)."""

from __future__ import annotations

from collections.abc import Callable

from ._errors import FormulaError, unexpected
from ._tokens import Kind, Token, tokenize
from ._tree import FUNCTIONS, Binary, Call, Name, Node, Number, Unary

MAX_NESTING = 100  # parentheses, signs and powers nested deeper than this are refused


def parse(text: str) -> Node:
    """The syntax tree of `text`; FormulaError names the column and token of the first problem."""
    return _Parser(tokenize(text)).parse()


class _Parser:
    def __init__(self, tokens: list[Token]) -> None:
        self._tokens = tokens
        self._pos = 0
        self._nesting = -1  # levels of parentheses, signs and exponents around the current operand

    def parse(self) -> Node:
        node = self._sum()
        end = self._peek()
        if end.kind is not Kind.END:
            raise unexpected(end.text, end.column)
        return node

    def _peek(self) -> Token:
        return self._tokens[self._pos]

    def _next(self) -> Token:
        token = self._tokens[self._pos]
        if token.kind is not Kind.END:
            self._pos += 1
        return token

    def _at(self, *operators: str) -> bool:
        token = self._peek()
        return token.kind is Kind.OPERATOR and token.text in operators

    def _left_associative(self, operators: tuple[str, ...], operand: Callable[[], Node]) -> Node:
        node = operand()
        while self._at(*operators):
            op = self._next()
            node = Binary(op.text, node, operand(), op.column)
        return node

    def _sum(self) -> Node:
        return self._left_associative(("+", "-"), self._product)

    def _product(self) -> Node:
        return self._left_associative(("*", "/"), self._unary)

    def _unary(self) -> Node:
        token = self._peek()
        self._nesting += 1
        if self._nesting > MAX_NESTING:
            raise FormulaError(
                f"nesting deeper than {MAX_NESTING} levels at token '{token.text}' at column {token.column}",
                token.text,
                token.column,
            )
        try:
            if self._at("+", "-"):
                self._next()
                return Unary(token.text, self._unary(), token.column)
            return self._power()
        finally:
            self._nesting -= 1

    def _power(self) -> Node:
        base = self._primary()
        if self._at("**"):
            op = self._next()
            return Binary("**", base, self._unary(), op.column)
        return base

    def _primary(self) -> Node:
        token = self._next()
        if token.kind is Kind.NUMBER:
            return Number(token.text, token.column)
        if token.kind is Kind.NAME:
            if self._at("("):
                if token.text not in FUNCTIONS:
                    message = f"unknown function '{token.text}' at column {token.column}"
                    raise FormulaError(message, token.text, token.column)
                return Call(token.text, self._parenthesised(self._next()), token.column)
            if token.text in FUNCTIONS:
                found = self._peek()
                where = f"'{found.text}'" if found.text else "end of formula"
                message = f"expected '(' after '{token.text}', got {where} at column {found.column}"
                raise FormulaError(message, found.text, found.column)
            return Name(token.text, token.column)
        if token.kind is Kind.OPERATOR and token.text == "(":
            return self._parenthesised(token)
        raise unexpected(token.text, token.column)

    def _parenthesised(self, opening: Token) -> Node:
        node = self._sum()
        closing = self._next()
        if closing.kind is Kind.END:
            raise FormulaError(f"unclosed '(' at column {opening.column}", "(", opening.column)
        if closing.text != ")":
            raise unexpected(closing.text, closing.column)
        return node
