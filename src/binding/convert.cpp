// The float32 and unsigned 64-bit conversion rules shared by every function that takes numbers.
// A -1 result is a failure only when an exception is pending.
#include "binding/convert.hpp"

#include "kernels/fp_env.hpp"

namespace vexlora {

bool to_float32(PyObject* obj, float& out) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = to_float32_nearest(value);  // beyond the float range becomes infinity
    return true;
}

bool to_uint64(PyObject* obj, std::uint64_t& out) {
    PyRef index;
    if (!PyLong_Check(obj)) {
        index = PyRef::steal(PyNumber_Index(obj));
        if (!index) return false;
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

}  // namespace vexlora
