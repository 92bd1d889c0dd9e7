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

// What a call works on of an accepted array: read once, after the last Python code of the call has
// run (a hook run later, such as a scalar's __float__ or the iterator of `bands`, may have changed
// the array's shape, dtype or strides since it was accepted), and used for the shape check, the
// borrows and the views alike.
struct ArrayGeometry {
    char* data;
    Py_intptr_t dims[2];
    Py_intptr_t strides[2];
    int flags;
};

// Checks that `array` still passes the test of accept_array and reads its geometry. False with the
// argument's usual TypeError ("argument '{name}': ...") when it no longer does.
bool inspect_array(PyObject* array, ArrayRole role, const char* name, ArrayGeometry& out);

Shape2 array_shape(const ArrayGeometry& g);
BandView band_view(const ArrayGeometry& g);
OutView out_view(const ArrayGeometry& g);

// A new zero-filled, row-major float32 array; null with PanicException "Python API call failed".
PyRef new_output_array(const Shape2& shape);

}  // namespace vexlora
