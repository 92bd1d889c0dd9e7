// execute_expr_inplace(expr, bands, out_buffer): running a CompiledExpr over every output element.
// Binding, band-count check, borrows, then the run with the interpreter lock released.
#pragma once

#include <Python.h>

namespace vexlora {

PyObject* execute_expr_inplace(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vexlora
