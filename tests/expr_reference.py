"""Element-by-element reference for the band-math stack machine.

Programs are given in their instruction form (the dicts handed to compile_expr).
Values are np.float32 scalars; a NaN whose payload depends on operand order (two
different NaNs meeting in one operation) is kept as LOOSE_NAN and only checked as NaN.
"""

import ctypes
import ctypes.util
from dataclasses import dataclass

import numpy as np

from conftest import EPS

STACK = 64
U64 = 1 << 64
LOOSE_NAN = None
OUT_OF_BAND = "ndarray: index out of bounds"

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_powf = _libm.powf
_powf.restype = ctypes.c_float
_powf.argtypes = [ctypes.c_float, ctypes.c_float]
_ANY_NAN = np.float32(np.nan)


def parse(text):
    """'b0 2.5 add' -> instruction dicts: bK pushes band K, a number pushes a scalar, a name is an op."""
    program = []
    for tok in text.split():
        if tok[0] == "b" and tok[1:].isdigit():
            program.append({"type": "push_band", "index": int(tok[1:])})
        elif tok in _BINARY or tok in _UNARY:
            program.append({"type": tok})
        else:
            program.append({"type": "push_scalar", "value": float(tok)})
    return program


def oob(n, x):
    return f"index out of bounds: the len is {n} but the index is {x % U64}"


def element_independent(message):
    """Stack and band-index failures happen at the same instruction for every element."""
    return message != OUT_OF_BAND


def scalar32(value):
    """A Python number as push_scalar stores it: read as a double, rounded once."""
    with np.errstate(over="ignore"):
        return np.float32(float(value))


def _u32(x):
    return int(np.float32(x).view(np.uint32))


def _f32(u):
    return np.uint32(u).view(np.float32)


def _arith(fn, a, b):
    if a is LOOSE_NAN or b is LOOSE_NAN:
        return LOOSE_NAN
    if np.isnan(a) and np.isnan(b) and _u32(a) != _u32(b):
        return LOOSE_NAN
    return fn(a, b)


def _pow(base, exp):
    b = _ANY_NAN if base is LOOSE_NAN else base
    e = _ANY_NAN if exp is LOOSE_NAN else exp
    r = np.float32(_powf(float(b), float(e)))
    if np.isnan(r) and (base is LOOSE_NAN or exp is LOOSE_NAN):
        return LOOSE_NAN
    return r


def _div(below, top):
    return _arith(lambda a, b: a / b, below, _arith(lambda a, b: a + b, top, EPS))


_BINARY = {
    "add": lambda below, top: _arith(lambda a, b: b + a, below, top),
    "sub": lambda below, top: _arith(lambda a, b: a - b, below, top),
    "mul": lambda below, top: _arith(lambda a, b: b * a, below, top),
    "div": _div,
    "pow": _pow,
}
_UNARY = {
    "neg": lambda v: v if v is LOOSE_NAN else _f32(_u32(v) ^ 0x80000000),
    "abs": lambda v: v if v is LOOSE_NAN else _f32(_u32(v) & 0x7FFFFFFF),
    "sqrt": lambda v: v if v is LOOSE_NAN else np.sqrt(v),
}


def evaluate(program, bands, i, j):
    """Run the program for element (i, j): a float32 (or LOOSE_NAN), or the failure message (str)."""
    stack = [np.float32(0.0)] * STACK
    depth = 0
    with np.errstate(all="ignore"):
        for ins in program:
            op = ins["type"]
            if op == "push_band":
                k = ins["index"]
                if k >= len(bands):
                    return oob(len(bands), k)
                band = bands[k]
                if i >= band.shape[0] or j >= band.shape[1]:
                    return OUT_OF_BAND
                if depth >= STACK:
                    return oob(STACK, depth)
                stack[depth] = np.float32(band[i, j])
                depth += 1
            elif op == "push_scalar":
                if depth >= STACK:
                    return oob(STACK, depth)
                stack[depth] = scalar32(ins["value"])
                depth += 1
            elif op in _BINARY:
                order = (depth - 2, depth - 1) if op == "pow" else (depth - 1, depth - 2)
                for x in order:
                    if x % U64 >= STACK:
                        return oob(STACK, x)
                stack[depth - 2] = _BINARY[op](stack[depth - 2], stack[depth - 1])
                depth -= 1
            else:
                if (depth - 1) % U64 >= STACK:
                    return oob(STACK, depth - 1)
                stack[depth - 1] = _UNARY[op](stack[depth - 1])
    return stack[0]


@dataclass
class GridResult:
    values: np.ndarray  # float32 results, 0.0 where the element fails
    ok: np.ndarray  # element evaluated without failure
    loose: np.ndarray  # result is a NaN of unspecified payload
    messages: set  # failure messages of the failing elements

    @property
    def failed(self):
        return bool(self.messages)


def evaluate_grid(program, bands, shape):
    rows, cols = shape
    values = np.zeros(shape, np.float32)
    ok = np.zeros(shape, bool)
    loose = np.zeros(shape, bool)
    messages = set()
    for i in range(rows):
        for j in range(cols):
            r = evaluate(program, bands, i, j)
            if isinstance(r, str):
                messages.add(r)
            elif r is LOOSE_NAN:
                ok[i, j] = loose[i, j] = True
                values[i, j] = np.nan
            else:
                ok[i, j] = True
                values[i, j] = r
    return GridResult(values, ok, loose, messages)


def check_against(ref, out, old, error):
    """Check one execution (out after the call, old before it, error raised or None) against ref."""
    got, before, want = (np.ascontiguousarray(a).view(np.uint32) for a in (out, old, ref.values))
    strict = ref.ok & ~ref.loose
    if not ref.failed:
        assert error is None, f"unexpected failure {error!r}"
        np.testing.assert_array_equal(got[strict], want[strict])
        assert np.isnan(np.asarray(out)[ref.loose]).all()
        return
    assert error is not None, f"expected one of {sorted(ref.messages)}"
    assert str(error) in ref.messages
    # Failing elements are never stored; the others hold either their result or the old value.
    np.testing.assert_array_equal(got[~ref.ok], before[~ref.ok])
    kept_or_new = (got == before) | (got == want) | (ref.loose & np.isnan(np.asarray(out)))
    assert kept_or_new[ref.ok].all()
