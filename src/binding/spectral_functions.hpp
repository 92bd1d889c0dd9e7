// The five spectral index functions of the module, as fast-call entry points.
// Each binds and converts its arguments, then runs the common kernel frame.
#pragma once

#include <Python.h>

namespace vexlora {

PyObject* calculate_normalized_difference_inplace(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames);
PyObject* calculate_ratio_inplace(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* calculate_adjusted_difference_inplace(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames);
PyObject* calculate_evi_inplace(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* calculate_normalized_difference(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);

}  // namespace vexlora
