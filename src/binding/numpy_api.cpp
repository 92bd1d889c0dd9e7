// Loading NumPy's C API table from the `_ARRAY_API` capsule of numpy._core.multiarray
// (numpy.core.multiarray before NumPy 2), chosen by NumPy's major version.
#include "binding/numpy_api.hpp"

#include "binding/messages.hpp"
#include "binding/panic.hpp"
#include "binding/py_ref.hpp"

#include <string>

namespace vexlora {
namespace {

static_assert(sizeof(void*) != 8 || offsetof(ArrayFields, data) == 16);
static_assert(sizeof(void*) != 8 || offsetof(ArrayFields, nd) == 24);
static_assert(sizeof(void*) != 8 || offsetof(ArrayFields, dimensions) == 32);
static_assert(sizeof(void*) != 8 || offsetof(ArrayFields, strides) == 40);
static_assert(sizeof(void*) != 8 || offsetof(ArrayFields, base) == 48);
static_assert(sizeof(void*) != 8 || offsetof(ArrayFields, descr) == 56);
static_assert(sizeof(void*) != 8 || offsetof(ArrayFields, flags) == 64);

// Positions in the API table; identical in NumPy 1.26 and 2.x.
constexpr int kSlotGetNDArrayCVersion = 0;
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotEquivTypes = 182;
constexpr int kSlotZeros = 183;

NumpyApi g_api;
bool g_loaded = false;  // read and written with the interpreter lock held

PyObject* fail_with_pending() {
    std::string text = std::string(msg::kNumpyApiUnavailable) + ": " + describe_pending_error();
    return raise_panic(text);
}

// The multiarray module of the installed NumPy, chosen by its major version (also returned).
PyRef import_multiarray(long& major) {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return {};
    PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return {};
    PyRef lib = PyRef::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return {};
    PyRef version_class = PyRef::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    if (!version_class) return {};
    PyRef parsed = PyRef::steal(PyObject_CallFunctionObjArgs(version_class.get(), version.get(), nullptr));
    if (!parsed) return {};
    PyRef major_obj = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return {};
    major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return {};
    return PyRef::steal(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
}

// NumPy's stride-tricks wrapper class (a new reference), or null, with no error, if it cannot be found.
PyTypeObject* find_stride_wrapper(long major) {
    PyRef module = PyRef::steal(
        PyImport_ImportModule(major >= 2 ? "numpy.lib._stride_tricks_impl" : "numpy.lib.stride_tricks"));
    PyRef wrapper = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "DummyArray")) : PyRef();
    if (!wrapper || !PyType_Check(wrapper.get())) {
        PyErr_Clear();
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(wrapper.release());
}

bool load() {
    long major = 0;
    PyRef multiarray = import_multiarray(major);
    if (!multiarray) return false;
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return false;
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return false;

    // The array layout mirrored above holds for ABI 1.x and 2.x; refuse anything else.
    auto abi_version = reinterpret_cast<unsigned (*)()>(table[kSlotGetNDArrayCVersion]);
    const unsigned abi_major = abi_version() >> 24;
    if (abi_major != 1 && abi_major != 2) {
        PyErr_Format(PyExc_ImportError, "unsupported NumPy C ABI version 0x%x", abi_version());
        return false;
    }
    NumpyApi api;
    api.array_type = static_cast<PyTypeObject*>(table[kSlotArrayType]);
    api.descr_from_type = reinterpret_cast<PyObject* (*)(int)>(table[kSlotDescrFromType]);
    api.equiv_types = reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[kSlotEquivTypes]);
    api.zeros = reinterpret_cast<PyObject* (*)(int, const Py_intptr_t*, PyObject*, int)>(table[kSlotZeros]);
    api.descr_u16 = api.descr_from_type(kNpyUshort);
    if (api.descr_u16 == nullptr) return false;
    api.descr_f32 = api.descr_from_type(kNpyFloat);
    if (api.descr_f32 == nullptr) {
        Py_DECREF(api.descr_u16);
        return false;
    }
    api.stride_wrapper_type = find_stride_wrapper(major);  // kept for the process
    g_api = api;  // the capsule's table lives as long as NumPy, which is never unloaded
    return true;
}

}  // namespace

const NumpyApi* numpy_api() {
    if (g_loaded) return &g_api;
    if (!load()) {
        fail_with_pending();
        return nullptr;
    }
    g_loaded = true;
    return &g_api;
}

bool is_ndarray(const NumpyApi& api, PyObject* obj) { return PyObject_TypeCheck(obj, api.array_type); }

}  // namespace vexlora
