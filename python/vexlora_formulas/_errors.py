"""The exception raised for a formula that cannot be compiled, with the 1-based column and the
text of the offending token."""

from __future__ import annotations

from typing import Any


class FormulaError(ValueError):
    """A formula that cannot be compiled; `column` is 1-based, `token` is "" at the end of the text."""

    def __init__(self, message: str, token: str, column: int) -> None:
        super().__init__(message)
        self.token = token
        self.column = column

    def __reduce__(self) -> tuple[type[FormulaError], tuple[str, str, int], dict[str, Any]]:
        # The default reduction calls the class with `args` (the message alone), which does not
        # match __init__: pickle and copy would fail, and an error raised in a worker process
        # would reach the parent as a broken pool instead of this error.
        return type(self), (str(self), self.token, self.column), self.__dict__


def unexpected(token: str, column: int) -> FormulaError:
    """The error for a token that no rule accepts at its place (an empty token is the end)."""
    if not token:
        return FormulaError(f"unexpected end of formula at column {column}", token, column)
    return FormulaError(f"unexpected token '{token}' at column {column}", token, column)
