// One helper per kind of argument: convert, and on failure name the argument in the TypeError.
// Used by every module function in parameter order, so the first bad argument is the one reported.
#pragma once

#include "binding/array_arg.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"

namespace vexlora {

inline PyRef array_argument(PyObject* obj, const char* name, ArrayRole role) {
    PyRef array = accept_array(obj, role);
    if (!array) prefix_argument_error(name);
    return array;
}

inline bool float_argument(PyObject* obj, const char* name, float& out) {
    if (to_float32(obj, out)) return true;
    prefix_argument_error(name);
    return false;
}

inline bool uint64_argument(PyObject* obj, const char* name, std::uint64_t& out) {
    if (to_uint64(obj, out)) return true;
    prefix_argument_error(name);
    return false;
}

inline bool band_list_argument(PyObject* obj, const char* name, std::vector<PyRef>& out) {
    if (accept_band_sequence(obj, out)) return true;
    prefix_argument_error(name);
    return false;
}

}  // namespace vexlora
