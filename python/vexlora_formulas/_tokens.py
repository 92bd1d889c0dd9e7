"""Tokenizer of the formula language: numbers, names, operators and parentheses, each token with
its 1-based line and column."""

from __future__ import annotations

import re
from dataclasses import dataclass
from enum import Enum

from ._errors import error_at, quoted


class Kind(Enum):
    NUMBER = "number"
    NAME = "name"
    OPERATOR = "operator"  # + - * / ** ( ) ,
    END = "end"


@dataclass(frozen=True, slots=True)
class Token:
    kind: Kind
    text: str
    line: int  # 1-based
    column: int  # 1-based, within the line


_NUMBER = re.compile(r"(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?", re.ASCII)
# What a number extends over before it is checked: digits, letters, '_', '.', and a sign after e/E.
_NUMBER_LIKE = re.compile(r"(?:\d|\.\d)(?:[eE][+-]\d|[\w.])*", re.ASCII)
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_OPERATORS = ("**", "+", "-", "*", "/", "(", ")", ",")
# Lines end as in Python source: at \n, \r\n or \r. Other whitespace (\f, \v, ...) separates tokens.
_LINE_BREAK = re.compile(r"\r\n?|\n")


def is_multiline(text: str) -> bool:
    """Whether `text` has more than one line, so that places in it are given with a line number."""
    return _LINE_BREAK.search(text) is not None


def tokenize(text: str) -> list[Token]:
    """The tokens of `text`, ending with one END token just past the text."""
    multiline = is_multiline(text)
    tokens: list[Token] = []
    pos = 0
    line, line_start = 1, 0  # the current line and the offset where it begins
    while pos < len(text):
        char = text[pos]
        column = pos - line_start + 1
        if char.isspace():
            if brk := _LINE_BREAK.match(text, pos):
                pos = brk.end()
                line, line_start = line + 1, pos
            else:
                pos += 1
            continue
        if number := _NUMBER_LIKE.match(text, pos):
            if not _NUMBER.fullmatch(number.group()):
                raise error_at(f"malformed number {quoted(number.group())}", number.group(), line, column, multiline)
            tokens.append(Token(Kind.NUMBER, number.group(), line, column))
            pos = number.end()
        elif name := _NAME.match(text, pos):
            tokens.append(Token(Kind.NAME, name.group(), line, column))
            pos = name.end()
        else:
            operator = next((op for op in _OPERATORS if text.startswith(op, pos)), None)
            if operator is None:
                raise error_at(f"invalid character '{char}'", char, line, column, multiline)
            tokens.append(Token(Kind.OPERATOR, operator, line, column))
            pos += len(operator)
    tokens.append(Token(Kind.END, "", line, len(text) - line_start + 1))
    return tokens
