// The band-math instruction set, defined once: op code order, "type" name, operand key, operand count.
// OpCode, the name lookup, the stack checks and the executor's dispatch all derive from this table.
#pragma once

// X(enumerator, "type" name, operand key or nullptr, values taken from the stack, checks the
//   entry below the top before the top)
#define VEXLORA_EXPR_OPS(X)                                 \
    X(PushBand, "push_band", "index", 0, false)             \
    X(PushScalar, "push_scalar", "value", 0, false)         \
    X(Add, "add", nullptr, 2, false)                        \
    X(Sub, "sub", nullptr, 2, false)                        \
    X(Mul, "mul", nullptr, 2, false)                        \
    X(Div, "div", nullptr, 2, false)                        \
    X(Pow, "pow", nullptr, 2, true)                         \
    X(Neg, "neg", nullptr, 1, false)                        \
    X(Abs, "abs", nullptr, 1, false)                        \
    X(Sqrt, "sqrt", nullptr, 1, false)
