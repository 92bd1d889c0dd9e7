// Signature and bind_arguments: binding fast-call arguments to named parameters.
// Every parameter is positional-or-keyword and required; the binding errors are raised without prefix.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace vexlora {

inline constexpr std::size_t kMaxParams = 8;

struct Signature {
    const char* name;                  // function name, shown as "name()" in messages
    std::span<const char* const> params;  // parameter names in order
};

// Bound argument values, borrowed from the caller's argument array for the length of the call.
using BoundArgs = std::array<PyObject*, kMaxParams>;

// Fills `out` with one value per parameter. Returns false with a TypeError set on a binding failure.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArgs& out);

}  // namespace vexlora
