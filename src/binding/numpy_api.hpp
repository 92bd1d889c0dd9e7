// NumpyApi: the few NumPy C API entries the module needs, reached at run time through
// the `_ARRAY_API` capsule, so NumPy is needed neither to build nor to import the module.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vexlora {

// The head of NumPy's array object, identical in NumPy 1.x and 2.x.
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    Py_intptr_t* dimensions;
    Py_intptr_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
    PyObject* weakreflist;
};

inline constexpr int kNpyUshort = 4;
inline constexpr int kNpyFloat = 11;
inline constexpr int kNpyArrayWriteable = 0x0400;

struct NumpyApi {
    PyTypeObject* array_type;
    PyObject* descr_u16;  // PyArray_DescrFromType(NPY_USHORT), kept for the process
    PyObject* descr_f32;  // PyArray_DescrFromType(NPY_FLOAT), kept for the process
    PyObject* (*descr_from_type)(int type_num);
    unsigned char (*equiv_types)(PyObject* a, PyObject* b);
    PyObject* (*zeros)(int nd, const Py_intptr_t* dims, PyObject* descr, int is_f_order);
    // The object that np.lib.stride_tricks.as_strided (and sliding_window_view) puts between a view
    // and the array it shows, whose `base` attribute is that array; null if this NumPy has none.
    PyTypeObject* stride_wrapper_type;
};

// The API, loaded at the first call. Null with PanicException set if NumPy cannot be reached;
// the next call tries again.
const NumpyApi* numpy_api();

inline ArrayFields* array_fields(PyObject* array) { return reinterpret_cast<ArrayFields*>(array); }

bool is_ndarray(const NumpyApi& api, PyObject* obj);

}  // namespace vexlora
