// PyInit_vexlora: the module's only exported symbol. Guards against a second interpreter,
// returns the cached module on re-import, otherwise starts the pool and registers functions and class.
#include "binding/call_guard.hpp"
#include "binding/errors.hpp"
#include "binding/interpreter_exit.hpp"
#include "binding/messages.hpp"
#include "binding/panic.hpp"
#include "binding/py_ref.hpp"
#include "binding/spectral_functions.hpp"
#include "expr/compile_expr.hpp"
#include "expr/compiled_expr.hpp"
#include "expr/execute_expr.hpp"
#include "kernels/thread_pool.hpp"

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace vexlora {
namespace {

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Stored as PyCFunction, as the method record requires; called with the fast-call-with-keywords signature.
PyCFunction as_method(FastCallWithKeywords fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Each documentation string is the text signature alone, so __doc__ is None and
// introspection shows the parameter list.
PyMethodDef kFunctions[] = {
    {"calculate_normalized_difference_inplace", as_method(calculate_normalized_difference_inplace),
     METH_FASTCALL | METH_KEYWORDS, "calculate_normalized_difference_inplace(band_a, band_b, out_buffer)\n--\n\n"},
    {"calculate_ratio_inplace", as_method(calculate_ratio_inplace), METH_FASTCALL | METH_KEYWORDS,
     "calculate_ratio_inplace(band_a, band_b, out_buffer)\n--\n\n"},
    {"calculate_adjusted_difference_inplace", as_method(calculate_adjusted_difference_inplace),
     METH_FASTCALL | METH_KEYWORDS, "calculate_adjusted_difference_inplace(band_a, band_b, l, out_buffer)\n--\n\n"},
    {"calculate_evi_inplace", as_method(calculate_evi_inplace), METH_FASTCALL | METH_KEYWORDS,
     "calculate_evi_inplace(nir, red, blue, g, c1, c2, l, out_buffer)\n--\n\n"},
    {"calculate_normalized_difference", as_method(calculate_normalized_difference), METH_FASTCALL | METH_KEYWORDS,
     "calculate_normalized_difference(band_a, band_b)\n--\n\n"},
    {"compile_expr", as_method(compile_expr), METH_FASTCALL | METH_KEYWORDS,
     "compile_expr(instructions, num_bands)\n--\n\n"},
    {"execute_expr_inplace", as_method(execute_expr_inplace), METH_FASTCALL | METH_KEYWORDS,
     "execute_expr_inplace(expr, bands, out_buffer)\n--\n\n"},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "vexlora", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;  // read and written with the interpreter lock held

// Appends `name` to __all__ (creating the list if missing) and sets the attribute.
bool add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        raise_cannot_convert(all.get(), msg::kTargetList);
        return false;
    }
    if (PyList_Append(all.get(), name) < 0) {
        raise_panic(std::string(msg::kAppendAllFailed) + ": " + describe_pending_error());
        return false;
    }
    return PyObject_SetAttr(module, name, value) == 0;
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name, nullptr));
    if (!function) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        raise_cannot_convert(name.get(), msg::kTargetString);
        return false;
    }
    return add_to_module(module, name.get(), function.get());
}

bool run_module_body(PyObject* module) {
    start_global_pool();  // a failure is remembered; pixel loops report it later
    watch_interpreter_exit();
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef& def : kFunctions) {
        if (!add_function(module, module_name.get(), &def)) return false;
    }
    PyTypeObject* type = compiled_expr_type();
    if (type == nullptr) return false;
    PyRef class_name = PyRef::steal(PyUnicode_FromString("CompiledExpr"));
    return class_name && add_to_module(module, class_name.get(), reinterpret_cast<PyObject*>(type));
}

PyObject* initialise() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return propagate_failure();
    std::int64_t expected = -1;
    if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, std::string(msg::kSubinterpreters).c_str());
        return nullptr;
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, 3));
    if (!module) return propagate_failure();
    if (!run_module_body(module.get())) return propagate_failure();
    g_module = module.get();
    Py_INCREF(g_module);  // the cached reference, kept for the life of the process
    return module.release();
}

}  // namespace
}  // namespace vexlora

PyMODINIT_FUNC PyInit_vexlora(void) {
    return vexlora::guarded_call([] { return vexlora::initialise(); });
}
