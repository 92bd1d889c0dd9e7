"""Element-by-element reference for the band-math stack machine, on np.float32 scalars.

Programs are the instruction dicts handed to compile_expr. A NaN whose payload depends on
operand order (two different NaNs meeting in one operation) is LOOSE and checked only as NaN.
"""

import ctypes
import ctypes.util
from dataclasses import dataclass

import numpy as np

from conftest import EPS

STACK, U64, LOOSE = 64, 1 << 64, None
OUT_OF_BAND = "ndarray: index out of bounds"

_powf = ctypes.CDLL(ctypes.util.find_library("m")).powf
_powf.restype, _powf.argtypes = ctypes.c_float, [ctypes.c_float, ctypes.c_float]


def oob(n, x):
    return f"index out of bounds: the len is {n} but the index is {x % U64}"


def scalar32(value):
    """A Python number as push_scalar stores it: read as a double, rounded once."""
    with np.errstate(over="ignore"):
        return np.float32(float(value))


def _u32(x):
    return int(np.float32(x).view(np.uint32))


def _arith(fn, a, b):
    if a is LOOSE or b is LOOSE or (np.isnan(a) and np.isnan(b) and _u32(a) != _u32(b)):
        return LOOSE
    return fn(a, b)


def _pow(base, exp):
    r = np.float32(_powf(float(np.nan if base is LOOSE else base), float(np.nan if exp is LOOSE else exp)))
    return LOOSE if np.isnan(r) and LOOSE in (base, exp) else r


BINARY = {  # (below, top) -> new below
    "add": lambda below, top: _arith(lambda a, b: b + a, below, top),
    "sub": lambda below, top: _arith(lambda a, b: a - b, below, top),
    "mul": lambda below, top: _arith(lambda a, b: b * a, below, top),
    "div": lambda below, top: _arith(lambda a, b: a / b, below, _arith(lambda a, b: a + b, top, EPS)),
    "pow": _pow,
}
UNARY = {  # neg and abs touch the sign bit only
    "neg": lambda v: v if v is LOOSE else np.uint32(_u32(v) ^ 0x80000000).view(np.float32),
    "abs": lambda v: v if v is LOOSE else np.uint32(_u32(v) & 0x7FFFFFFF).view(np.float32),
    "sqrt": lambda v: v if v is LOOSE else np.sqrt(v),
}


def parse(text):
    """'b0 2.5 add' -> instruction dicts: bK pushes band K, a number pushes a scalar, a name is an op."""
    program = []
    for tok in text.split():
        if tok[0] == "b" and tok[1:].isdigit():
            program.append({"type": "push_band", "index": int(tok[1:])})
        elif tok in BINARY or tok in UNARY:
            program.append({"type": tok})
        else:
            program.append({"type": "push_scalar", "value": float(tok)})
    return program


def evaluate(program, bands, i, j):
    """Run the program for element (i, j): a float32 (or LOOSE), or the failure message (str)."""
    stack, depth = [np.float32(0.0)] * STACK, 0
    with np.errstate(all="ignore"):
        for ins in program:
            op = ins["type"]
            if op in ("push_band", "push_scalar"):
                if op == "push_band":
                    k = ins["index"]
                    if k >= len(bands):
                        return oob(len(bands), k)
                    if i >= bands[k].shape[0] or j >= bands[k].shape[1]:
                        return OUT_OF_BAND
                    value = np.float32(bands[k][i, j])
                else:
                    value = scalar32(ins["value"])
                if depth >= STACK:
                    return oob(STACK, depth)
                stack[depth], depth = value, depth + 1
            elif op in BINARY:
                for x in (depth - 2, depth - 1) if op == "pow" else (depth - 1, depth - 2):
                    if x % U64 >= STACK:
                        return oob(STACK, x)
                stack[depth - 2], depth = BINARY[op](stack[depth - 2], stack[depth - 1]), depth - 1
            else:
                if (depth - 1) % U64 >= STACK:
                    return oob(STACK, depth - 1)
                stack[depth - 1] = UNARY[op](stack[depth - 1])
    return stack[0]


@dataclass
class GridResult:
    values: np.ndarray  # float32 results, 0.0 where the element fails
    ok: np.ndarray  # evaluated without failure
    loose: np.ndarray  # a NaN of unspecified payload
    messages: set  # failure messages of the failing elements

    @property
    def failed(self):
        return bool(self.messages)


def evaluate_grid(program, bands, shape):
    res = GridResult(np.zeros(shape, np.float32), np.zeros(shape, bool), np.zeros(shape, bool), set())
    for i in range(shape[0]):
        for j in range(shape[1]):
            r = evaluate(program, bands, i, j)
            if isinstance(r, str):
                res.messages.add(r)
            else:
                res.ok[i, j], res.loose[i, j] = True, r is LOOSE
                res.values[i, j] = np.nan if r is LOOSE else r
    return res


def check_against(ref, out, old, error):
    """One execution (out after the call, old before it, the error raised or None) against ref."""
    got, before, want = (np.ascontiguousarray(a).view(np.uint32) for a in (out, old, ref.values))
    nan = np.isnan(np.asarray(out))
    if not ref.failed:
        assert error is None, f"unexpected failure {error!r}"
        np.testing.assert_array_equal(got[~ref.loose], want[~ref.loose])
        assert nan[ref.loose].all()
        return
    assert error is not None, f"expected one of {sorted(ref.messages)}"
    assert str(error) in ref.messages
    # A failing element is never stored; the others hold either their result or the old value.
    np.testing.assert_array_equal(got[~ref.ok], before[~ref.ok])
    assert ((got == before) | (got == want) | (ref.loose & nan))[ref.ok].all()
