// CompiledExpr: the immutable Python object that holds a compiled band-math program.
// Only compile_expr creates one; calling the class raises TypeError. The class is a mutable heap
// type, so `__new__` can be replaced and `object.__new__(CompiledExpr)` then makes an instance:
// its allocation constructs an empty program, so every instance is a valid object, and `built`
// (set by compile_expr alone) tells such an instance apart from a compiled one.
#pragma once

#include "binding/interpreter_exit.hpp"
#include "expr/expr_op.hpp"

#include <Python.h>

#include <cstdint>
#include <vector>

namespace vexlora {

struct CompiledExprObject {
    PyObject ob_base;
    std::vector<ExprOp> ops;
    std::uint64_t num_bands;
    std::int64_t holds;  // shared holds of running calls; -1 would be an exclusive hold
    bool built;          // made by compile_expr
};

// The class, created on first use and kept for the process. Null with RuntimeError
// "An error occurred while initializing class CompiledExpr" (caused by the creation's error).
PyTypeObject* compiled_expr_type();

// An instance that compile_expr built (not one made by a replaced __new__).
bool is_compiled_expr(PyObject* obj);

// A new instance owning `ops`; null with an exception set.
PyObject* new_compiled_expr(std::vector<ExprOp>&& ops, std::uint64_t num_bands);

// A shared hold on an instance's contents for the length of a call.
class ExprHold {
public:
    explicit ExprHold(CompiledExprObject* expr) : expr_(expr) {}
    ~ExprHold() {
        if (held_ && may_release_python_objects()) --expr_->holds;
    }
    ExprHold(const ExprHold&) = delete;
    ExprHold& operator=(const ExprHold&) = delete;
    // False with PanicException "Already mutably borrowed" set if an exclusive hold exists.
    bool acquire();

private:
    CompiledExprObject* expr_;
    bool held_ = false;
};

}  // namespace vexlora
