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

// After a failed length query: clears an ordinary exception, which only makes the length unknown,
// and returns true. KeyboardInterrupt, SystemExit, MemoryError and other BaseExceptions stay set
// (false), so that they end the call rather than being lost.
inline bool clear_length_hint_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyErr_Clear();
    return true;
}

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
    if (hint < 0 && !clear_length_hint_error()) return false;
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
