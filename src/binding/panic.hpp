// PanicException: how internal failures (refused borrows, missing NumPy API, pool failures) reach Python.
// A diagnostic naming the thread and the source position goes to standard error at the moment of failure.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>

namespace vexlora {

// The exception type, created on first use and kept for the life of the process.
// Returns a borrowed reference, or null with a Python error set.
PyObject* panic_exception_type();

// Writes the diagnostic, sets PanicException(message) and returns null for `return raise_panic(...)`.
// Ends the process if the exception cannot be raised at all.
PyObject* raise_panic(std::string_view message,
                      std::source_location where = std::source_location::current());

// The pending Python error as "TypeName: text", clearing it; for messages that embed a Python failure.
std::string describe_pending_error();

}  // namespace vexlora
