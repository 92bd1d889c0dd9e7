// Argument conversions: float32 scalars, unsigned 64-bit integers and sequences taken by iteration.
// Each reports its own failure; the caller adds the argument-name prefix.
#pragma once

#include "binding/errors.hpp"
#include "binding/messages.hpp"
#include "binding/py_ref.hpp"

#include <Python.h>

#include <cstdint>
#include <vector>

namespace vexlora {

// PyFloat_AsDouble, then rounding to the nearest float32. False with the exception set.
bool to_float32(PyObject* obj, float& out);

// An int (or subclass) directly, anything else through its __index__. False with the exception set.
bool to_uint64(PyObject* obj, std::uint64_t& out);

// Takes in a sequence that is not a str: sequence test, then iteration, each item through
// `accept_item` (which returns a reference or null with an exception set).
template <class AcceptItem>
bool collect_sequence(PyObject* obj, std::vector<PyRef>& out, AcceptItem&& accept_item) {
    if (PyUnicode_Check(obj)) {
        raise_type_error(std::string(msg::kStrToVec));
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, msg::kTargetSequence);
        return false;
    }
    // The length only sizes the first allocation; an object may report any length, so it is capped.
    constexpr Py_ssize_t kMaxReserve = 1 << 16;
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) PyErr_Clear();
    out.reserve(static_cast<std::size_t>(hint > 0 ? (hint < kMaxReserve ? hint : kMaxReserve) : 0));
    PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        PyRef accepted = accept_item(item.get());
        if (!accepted) return false;
        out.push_back(std::move(accepted));
    }
    return !PyErr_Occurred();
}

}  // namespace vexlora
