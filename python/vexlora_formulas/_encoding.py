"""Band encodings (physical value = DN x scale_factor + add_offset, a nodata DN) folded into a
formula's syntax tree, so that the program computes on stored integers exactly where it can."""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from fractions import Fraction

from ._tree import Affine, Binary, Call, Name, Node, Number, Unary

# Every uint16 DN is at most this; integer sums of DN stay exact in float32 up to 2^24.
_DN_MAX = 65535
_EXACT = 2**24


@dataclass(frozen=True, slots=True)
class Encoding:
    """How one band stores its physical value; `nodata` is the DN that marks a missing pixel."""

    scale_factor: float | Fraction = 1.0
    add_offset: float | Fraction = 0.0  # a Fraction where an exact shift was added (signed bands)
    nodata: int | None = None

    @property
    def is_identity(self) -> bool:
        return self.scale_factor == 1.0 and self.add_offset == 0.0 and self.nodata is None


IDENTITY = Encoding()


def intended(value: object) -> float:
    """A number as its writer meant it: a float32 (as netCDF and CF attributes store scale factors)
    by the shortest decimal that reads back as that float32, so np.float32(1e-4) is 1e-4."""
    dtype = getattr(value, "dtype", None)
    if dtype is not None and getattr(dtype, "kind", "") == "f" and dtype.itemsize < 8:
        return float(str(value))
    return float(value)  # type: ignore[arg-type]


def exact(value: float | Fraction) -> Fraction | None:
    """The number a user wrote: the shortest decimal that reads back as `value` (0.1 is 1/10);
    a Fraction (an offset this package has already moved exactly) as it is."""
    if isinstance(value, Fraction):
        return value
    return Fraction(repr(float(value))) if math.isfinite(value) else None


@dataclass(frozen=True, slots=True)
class _Linear:
    """Σ terms[band] x physical band + const, in exact rationals; `node` is the subtree it came from."""

    terms: dict[str, Fraction]
    const: Fraction
    node: Node


def _combine(op: str, a: _Linear, b: _Linear, node: Node) -> _Linear | None:
    if op in "+-":
        sign = 1 if op == "+" else -1
        terms = dict(a.terms)
        for band, coef in b.terms.items():
            terms[band] = terms.get(band, Fraction(0)) + sign * coef
        return _Linear(terms, a.const + sign * b.const, node)
    if op == "*" and not (a.terms and b.terms):
        factor, linear = (a.const, b) if not a.terms else (b.const, a)
        return _Linear({k: v * factor for k, v in linear.terms.items()}, linear.const * factor, node)
    if op == "/" and not b.terms and b.const != 0:
        return _Linear({k: v / b.const for k, v in a.terms.items()}, a.const / b.const, node)
    return None


def fold(root: Node, bands: frozenset[str], constants: dict[str, float], encodings: dict[str, Encoding]) -> Node:
    """`root` with every maximal linear subexpression of bands replaced by an Affine node on DN.

    Iterative (long sums nest as deep as they are long). Subexpressions of constants only are
    folded to one exact number; anything else is kept as written.
    """
    results: dict[int, _Linear | None] = {}
    rebuilt: dict[int, Node] = {}
    pending: list[tuple[Node, bool]] = [(root, False)]
    while pending:
        node, expanded = pending.pop()
        children = _children(node)
        if children and not expanded:
            pending.append((node, True))
            pending += [(child, False) for child in reversed(children)]
            continue
        linear = _analyse(node, [results[id(c)] for c in children], bands, constants)
        results[id(node)] = linear
        if linear is None:
            rebuilt[id(node)] = _rebuild(node, [_materialise(results[id(c)], rebuilt[id(c)], encodings) for c in children])
        else:
            rebuilt[id(node)] = node
    return _materialise(results[id(root)], rebuilt[id(root)], encodings)


def _children(node: Node) -> list[Node]:
    if isinstance(node, Binary):
        return [node.left, node.right]
    if isinstance(node, Unary):
        return [node.operand]
    if isinstance(node, Call):
        return [node.argument]
    return []


def _analyse(node: Node, kids: list[_Linear | None], bands: frozenset[str], constants: dict[str, float]) -> _Linear | None:
    if isinstance(node, Number):
        return _Linear({}, Fraction(node.text), node)
    if isinstance(node, Name):
        if node.name in bands:
            return _Linear({node.name: Fraction(1)}, Fraction(0), node)
        value = constants.get(node.name)
        if value is None or (value == 0 and math.copysign(1.0, value) < 0):
            return None  # not a constant, or -0.0, whose sign a rational cannot carry: kept as written
        rational = exact(value)
        return None if rational is None else _Linear({}, rational, node)
    if any(kid is None for kid in kids):
        return None
    if isinstance(node, Unary):
        (kid,) = kids
        assert kid is not None
        sign = -1 if node.op == "-" else 1
        return _Linear({k: sign * v for k, v in kid.terms.items()}, sign * kid.const, node)
    if isinstance(node, Binary) and node.op != "**":
        left, right = kids
        assert left is not None and right is not None
        return _combine(node.op, left, right, node)
    return None


def _rebuild(node: Node, kids: list[Node]) -> Node:
    if isinstance(node, Binary):
        return Binary(node.op, kids[0], kids[1], node.line, node.column)
    if isinstance(node, Unary):
        return Unary(node.op, kids[0], node.line, node.column)
    if isinstance(node, Call):
        return Call(node.function, kids[0], node.line, node.column)
    return node


def _materialise(linear: _Linear | None, node: Node, encodings: dict[str, Encoding]) -> Node:
    """A linear result as an Affine node on DN (or one exact Number); anything else unchanged."""
    if linear is None:
        return node
    terms = [(band, coef) for band, coef in linear.terms.items() if coef != 0]
    if not terms:
        if isinstance(linear.node, Number):
            return linear.node
        return Number(repr(float(linear.const)), linear.node.line, linear.node.column)
    dn_terms: list[tuple[str, Fraction]] = []
    const = linear.const
    for band, coef in terms:
        encoding = encodings.get(band, IDENTITY)
        scale, offset = exact(encoding.scale_factor), exact(encoding.add_offset)
        assert scale is not None and offset is not None
        dn_terms.append((band, coef * scale))
        const += coef * offset
    return _affine(dn_terms, const, linear.node.line, linear.node.column)


def _gcd(values: list[Fraction]) -> Fraction:
    denominator = math.lcm(*(v.denominator for v in values))
    return Fraction(math.gcd(*(int(v * denominator) for v in values)), denominator)


def _affine(terms: list[tuple[str, Fraction]], const: Fraction, line: int, column: int) -> Affine:
    """Chooses the exact integer form where it exists:
    m x (Σ c_i DN_i + b) with integer c_i and b, then m x (Σ c_i DN_i) + B, else Σ k_i DN_i + B."""
    coefs = [coef for _, coef in terms]
    for with_const in (True, False):
        parts = coefs + ([const] if with_const and const != 0 else [])
        unit = _gcd(parts)
        ints = [int(c / unit) for c in coefs]
        inner = int(const / unit) if with_const else 0
        if sum(abs(c) for c in ints) * _DN_MAX + abs(inner) <= _EXACT:
            outer = Fraction(0) if with_const else const
            return Affine(tuple((band, float(c)) for (band, _), c in zip(terms, ints)), float(inner), float(unit),
                          float(outer), line, column)
    return Affine(tuple((band, float(c)) for band, c in terms), 0.0, 1.0, float(const), line, column)


EncodingArg = float | int | Fraction | Mapping[str, "float | int | Fraction | None"] | None


# float32's normal range: a scale or offset beyond it would underflow or overflow in the program.
_FLOAT32_TINY = 2.0**-126
_FLOAT32_MAX = 3.4028234663852886e38


def number(value: object, what: str, band: str) -> float | Fraction:
    """A checked scale_factor or add_offset of `band`: real, finite, in float32's range (scale not 0)."""
    if isinstance(value, Fraction):
        return value
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} for band {band!r} must be a real number, not {type(value).__name__}")
    try:
        result = intended(value)
    except OverflowError:
        result = math.inf
    if not math.isfinite(result) or (what == "scale_factor" and result == 0):
        raise ValueError(f"{what} for band {band!r} must be finite{' and not 0' if what == 'scale_factor' else ''}, got {value!r}")
    if result != 0 and not _FLOAT32_TINY <= abs(result) <= _FLOAT32_MAX:
        raise ValueError(f"{what} {value!r} for band {band!r} is outside the range of float32 numbers")
    return result


def fill_value(value: object, band: str, dtype: str = "uint16") -> int:
    """A checked nodata value of `band`: an integer that its stored type can hold."""
    low, high = (-32768, 32767) if dtype == "int16" else (0, _DN_MAX)
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"nodata for band {band!r} must be an integer, not {type(value).__name__}")
    whole: int | None = None
    if isinstance(value, numbers.Integral):
        whole = int(value)
    elif math.isfinite(float(value)) and float(value).is_integer():
        whole = int(float(value))
    if whole is None or not low <= whole <= high:
        raise ValueError(f"nodata {value!r} for band {band!r} cannot occur in its {dtype} values ({low} to {high})")
    return whole


def _per_band(arg: EncodingArg, what: str, bands: Sequence[str]) -> dict[str, object]:
    if arg is None:
        return {}
    if isinstance(arg, Mapping):
        unknown = [str(key) for key in arg if key not in bands]
        if unknown:
            raise ValueError(f"{what} names {unknown[0]!r}, which is not a band of this formula ({', '.join(bands)})")
        return {band: value for band, value in arg.items() if value is not None}
    return {band: arg for band in bands}


def resolve(bands: Sequence[str], scale_factor: EncodingArg, add_offset: EncodingArg, nodata: EncodingArg) -> dict[str, Encoding]:
    """Each band's Encoding from numbers (for every band) or mappings from band name to number."""
    scales = _per_band(scale_factor, "scale_factor", bands)
    offsets = _per_band(add_offset, "add_offset", bands)
    fills = _per_band(nodata, "nodata", bands)
    return {
        band: Encoding(
            number(scales[band], "scale_factor", band) if band in scales else 1.0,
            number(offsets[band], "add_offset", band) if band in offsets else 0.0,
            fill_value(fills[band], band) if band in fills else None,
        )
        for band in bands
    }
