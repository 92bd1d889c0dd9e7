"""The exception raised for a formula that cannot be compiled, with the line, the column and the
text of the offending token."""

from __future__ import annotations

from typing import Any

_SHOWN = 50  # a longer token is cut in messages (it stays whole in `token`)


class FormulaError(ValueError):
    """A formula that cannot be compiled; `line` and `column` (within the line) are 1-based, and
    `token` is "" at the end of the text."""

    def __init__(self, message: str, token: str, column: int, line: int = 1) -> None:
        super().__init__(message)
        self.token = token
        self.column = column
        self.line = line

    def __reduce__(self) -> tuple[type[FormulaError], tuple[str, str, int, int], dict[str, Any]]:
        # The default reduction calls the class with `args` (the message alone), which does not
        # match __init__: pickle and copy would fail, and an error raised in a worker process
        # would reach the parent as a broken pool instead of this error.
        return type(self), (str(self), self.token, self.column, self.line), self.__dict__


def quoted(token: str) -> str:
    """`token` in quotes for a message, cut after its first characters if it is long."""
    if len(token) > _SHOWN:
        return f"'{token[:40]}... ({len(token)} characters)'"
    return f"'{token}'"


def error_at(what: str, token: str, line: int, column: int, multiline: bool) -> FormulaError:
    """The error `what` at a place of the text: "at column C", or "at line L, column C" in a text of
    several lines."""
    where = f"line {line}, column {column}" if multiline else f"column {column}"
    return FormulaError(f"{what} at {where}", token, column, line)


def unexpected(token: str, line: int, column: int, multiline: bool) -> FormulaError:
    """The error for a token that no rule accepts at its place (an empty token is the end)."""
    if not token:
        return error_at("unexpected end of formula", token, line, column, multiline)
    return error_at(f"unexpected token {quoted(token)}", token, line, column, multiline)


class ComputeError(RuntimeError):
    """The engine refused a call that every check before it passed: as a rule another thread's
    running call holds one of its arrays (retry once that call has returned)."""
