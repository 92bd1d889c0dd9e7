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

bool acceptable(const NumpyApi& api, PyObject* obj, ArrayRole role) {
    PyObject* wanted = role == ArrayRole::Band ? api.descr_u16 : api.descr_f32;
    return is_ndarray(api, obj) && array_fields(obj)->nd == 2 && has_element_type(api, obj, wanted);
}

template <class View>
View view_of(const ArrayGeometry& g) {
    return View{reinterpret_cast<decltype(View::origin)>(g.data), g.dims[0], g.dims[1], g.strides[0], g.strides[1]};
}

}  // namespace

PyRef accept_array(PyObject* obj, ArrayRole role) {
    const NumpyApi* api = numpy_api();
    if (api == nullptr) return {};
    if (!acceptable(*api, obj, role)) {
        raise_cannot_convert(obj, msg::kTargetArray);
        return {};
    }
    return PyRef::borrow(obj);
}

bool inspect_array(PyObject* array, ArrayRole role, const char* name, ArrayGeometry& out) {
    const NumpyApi* api = numpy_api();
    if (api == nullptr) return false;
    if (!acceptable(*api, array, role)) {
        raise_cannot_convert(array, msg::kTargetArray);
        prefix_argument_error(name);
        return false;
    }
    const ArrayFields* f = array_fields(array);
    out = ArrayGeometry{f->data, {f->dimensions[0], f->dimensions[1]}, {f->strides[0], f->strides[1]}, f->flags};
    return true;
}

bool accept_band_sequence(PyObject* obj, std::vector<PyRef>& out) {
    return collect_sequence(obj, out, [](PyObject* item) { return accept_array(item, ArrayRole::Band); });
}

Shape2 array_shape(const ArrayGeometry& g) {
    return {static_cast<std::uint64_t>(g.dims[0]), static_cast<std::uint64_t>(g.dims[1])};
}

BandView band_view(const ArrayGeometry& g) { return view_of<BandView>(g); }
OutView out_view(const ArrayGeometry& g) { return view_of<OutView>(g); }

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
