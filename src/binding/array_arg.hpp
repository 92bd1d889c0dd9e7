// Accepting NumPy arrays as band (uint16) or output (float32) arguments, and turning borrowed
// arrays into the strided views that pixel loops read and write.
#pragma once

#include "binding/py_ref.hpp"
#include "kernels/check_shapes.hpp"
#include "kernels/strided_view.hpp"

#include <Python.h>

#include <vector>

namespace vexlora {

enum class ArrayRole { Band, Output };

// A new reference to obj if it is a 2-D array of the role's element type; otherwise null with
// TypeError "'{}' object cannot be converted to 'PyArray<T, D>'" (or PanicException if NumPy is unavailable).
PyRef accept_array(PyObject* obj, ArrayRole role);

// The items of a `bands` sequence, each accepted as a band array, in order.
bool accept_band_sequence(PyObject* obj, std::vector<PyRef>& out);

Shape2 array_shape(PyObject* array);
BandView band_view(PyObject* array);
OutView out_view(PyObject* array);

// A new zero-filled, row-major float32 array; null with PanicException "Python API call failed".
PyRef new_output_array(const Shape2& shape);

}  // namespace vexlora
