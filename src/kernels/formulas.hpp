// The per-element formulas, written once for any value type with + - * / (float, or a vector of floats).
// Scalar tails, vector bodies and constant folding all evaluate these same operations in the same order.
#pragma once

#include <bit>
#include <cstdint>

namespace vexlora {

// The float32 nearest to 1e-10, added last to every denominator.
inline constexpr float kNdiffEpsilon = std::bit_cast<float>(std::uint32_t{0x2EDBE6FF});

namespace formulas {

// (a - b) / ((a + b) + E)
template <class V>
inline V normalized_difference(V a, V b, V eps) {
    V d = a - b;
    V s = a + b;
    s = s + eps;
    return d / s;
}

// a / (b + E)
template <class V>
inline V ratio(V a, V b, V eps) {
    V s = b + eps;
    return a / s;
}

// ((a - b) / (((a + b) + L) + E)) * k, with k = 1 + L computed once per call
template <class V>
inline V adjusted_difference(V a, V b, V l, V k, V eps) {
    V d = a - b;
    V s = a + b;
    s = s + l;
    s = s + eps;
    V q = d / s;
    return q * k;
}

// ((n - r) / (((((r * C1) + n) - (b * C2)) + L) + E)) * G
template <class V>
inline V evi(V n, V r, V b, V g, V c1, V c2, V l, V eps) {
    V d = n - r;
    V t = r * c1;
    t = t + n;
    V u = b * c2;
    t = t - u;
    t = t + l;
    t = t + eps;
    V q = d / t;
    return q * g;
}

// Band-math two-operand ops: `below` is the entry under the top of the stack.
template <class V>
inline V expr_add(V below, V top) { return top + below; }
template <class V>
inline V expr_sub(V below, V top) { return below - top; }
template <class V>
inline V expr_mul(V below, V top) { return top * below; }
template <class V>
inline V expr_div(V below, V top, V eps) {
    V s = top + eps;
    return below / s;
}

}  // namespace formulas
}  // namespace vexlora
