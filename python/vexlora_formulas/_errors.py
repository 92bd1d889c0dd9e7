"""The exception raised for a formula that cannot be compiled, with the 1-based column and the
text of the offending token."""

from __future__ import annotations


class FormulaError(ValueError):
    """A formula that cannot be compiled; `column` is 1-based, `token` is "" at the end of the text."""

    def __init__(self, message: str, token: str, column: int) -> None:
        super().__init__(message)
        self.token = token
        self.column = column


def unexpected(token: str, column: int) -> FormulaError:
    """The error for a token that no rule accepts at its place (an empty token is the end)."""
    if not token:
        return FormulaError(f"unexpected end of formula at column {column}", token, column)
    return FormulaError(f"unexpected token '{token}' at column {column}", token, column)


class ComputeError(RuntimeError):
    """The engine refused a call that every check before it passed: as a rule another thread's
    running call holds one of its arrays (retry once that call has returned)."""
