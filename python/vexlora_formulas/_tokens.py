"""Tokenizer of the formula language: numbers, names, operators and parentheses, each token with
its 1-based column."""

from __future__ import annotations

import re
from dataclasses import dataclass
from enum import Enum

from ._errors import FormulaError


class Kind(Enum):
    NUMBER = "number"
    NAME = "name"
    OPERATOR = "operator"  # + - * / ** ( ) ,
    END = "end"


@dataclass(frozen=True, slots=True)
class Token:
    kind: Kind
    text: str
    column: int  # 1-based


_NUMBER = re.compile(r"(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?", re.ASCII)
# What a number extends over before it is checked: digits, letters, '_', '.', and a sign after e/E.
_NUMBER_LIKE = re.compile(r"(?:\d|\.\d)(?:[eE][+-]\d|[\w.])*", re.ASCII)
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_OPERATORS = ("**", "+", "-", "*", "/", "(", ")", ",")


def tokenize(text: str) -> list[Token]:
    """The tokens of `text`, ending with one END token whose column is just past the text."""
    tokens: list[Token] = []
    pos = 0
    while pos < len(text):
        char = text[pos]
        if char.isspace():
            pos += 1
            continue
        if number := _NUMBER_LIKE.match(text, pos):
            if not _NUMBER.fullmatch(number.group()):
                raise FormulaError(f"malformed number '{number.group()}' at column {pos + 1}", number.group(), pos + 1)
            tokens.append(Token(Kind.NUMBER, number.group(), pos + 1))
            pos = number.end()
        elif name := _NAME.match(text, pos):
            tokens.append(Token(Kind.NAME, name.group(), pos + 1))
            pos = name.end()
        else:
            operator = next((op for op in _OPERATORS if text.startswith(op, pos)), None)
            if operator is None:
                raise FormulaError(f"invalid character '{char}' at column {pos + 1}", char, pos + 1)
            tokens.append(Token(Kind.OPERATOR, operator, pos + 1))
            pos += len(operator)
    tokens.append(Token(Kind.END, "", len(text) + 1))
    return tokens
