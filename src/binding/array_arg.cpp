// Array acceptance (type, dimension count and element-type equivalence), views from the array
// head, and the zero-filled output array of the allocating normalized difference.
#include "binding/array_arg.hpp"

#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/messages.hpp"
#include "binding/numpy_api.hpp"
#include "binding/panic.hpp"

namespace vexlora {
namespace {

bool has_element_type(const NumpyApi& api, PyObject* array, PyObject* wanted) {
    PyObject* descr = array_fields(array)->descr;
    return descr == wanted || api.equiv_types(descr, wanted) != 0;
}

template <class View>
View view_of(PyObject* array) {
    const ArrayFields* f = array_fields(array);
    return View{reinterpret_cast<decltype(View::origin)>(f->data), f->dimensions[0], f->dimensions[1],
                f->strides[0], f->strides[1]};
}

}  // namespace

PyRef accept_array(PyObject* obj, ArrayRole role) {
    const NumpyApi* api = numpy_api();
    if (api == nullptr) return {};
    PyObject* wanted = role == ArrayRole::Band ? api->descr_u16 : api->descr_f32;
    if (!is_ndarray(*api, obj) || array_fields(obj)->nd != 2 || !has_element_type(*api, obj, wanted)) {
        raise_cannot_convert(obj, msg::kTargetArray);
        return {};
    }
    return PyRef::borrow(obj);
}

bool accept_band_sequence(PyObject* obj, std::vector<PyRef>& out) {
    return collect_sequence(obj, out, [](PyObject* item) { return accept_array(item, ArrayRole::Band); });
}

Shape2 array_shape(PyObject* array) {
    const ArrayFields* f = array_fields(array);
    return {static_cast<std::uint64_t>(f->dimensions[0]), static_cast<std::uint64_t>(f->dimensions[1])};
}

BandView band_view(PyObject* array) { return view_of<BandView>(array); }
OutView out_view(PyObject* array) { return view_of<OutView>(array); }

PyRef new_output_array(const Shape2& shape) {
    const NumpyApi* api = numpy_api();
    if (api == nullptr) return {};
    const Py_intptr_t dims[2] = {static_cast<Py_intptr_t>(shape[0]), static_cast<Py_intptr_t>(shape[1])};
    Py_INCREF(api->descr_f32);  // stolen by the constructor
    PyRef array = PyRef::steal(api->zeros(2, dims, api->descr_f32, 0));
    if (!array) {
        if (PyErr_Occurred()) PyErr_PrintEx(0);
        raise_panic(msg::kPythonApiCallFailed);
        return {};
    }
    return array;
}

}  // namespace vexlora
