// PyRef: the one owner of a strong Python reference.
// Every reference the module takes lives in one of these, so every path, error paths included, releases it.
#pragma once

#include "binding/interpreter_exit.hpp"

#include <Python.h>

#include <utility>

namespace vexlora {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (may be null, as returned by a failing API call).
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            if (may_release_python_objects()) Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~PyRef() {
        if (may_release_python_objects()) Py_XDECREF(obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller (for return values and stealing APIs).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace vexlora
