// compile_expr(instructions, num_bands): decoding a postfix list of instruction mappings.
// Only the op names and operand types are checked here; everything else is found when the program runs.
#pragma once

#include <Python.h>

namespace vexlora {

PyObject* compile_expr(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vexlora
