// Helpers that raise the module's exact Python exceptions, one per kind of error.
// Each returns null (or false) so that call sites can `return raise_...(...)`.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace vexlora {

// The __qualname__ of obj's type, or the stand-in text when it cannot be read.
std::string type_qualname(PyObject* obj);

// TypeError "'{qualname}' object cannot be converted to '{target}'".
PyObject* raise_cannot_convert(PyObject* obj, std::string_view target);

PyObject* raise_type_error(const std::string& message);
PyObject* raise_value_error(const std::string& message);

// After a failed conversion of argument `name`: an exception of exactly TypeError becomes
// TypeError "argument '{name}': {text}" keeping the original's __cause__; other types pass unchanged.
void prefix_argument_error(const char* name);

// For C API calls that report failure: makes sure an exception is set (SystemError if none was).
PyObject* propagate_failure();

}  // namespace vexlora
