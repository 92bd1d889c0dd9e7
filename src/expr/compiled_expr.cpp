// The CompiledExpr type object: no constructor, no attributes, not subclassable, no GC tracking
// (instances hold no Python references); deallocation frees the program first.
#include "expr/compiled_expr.hpp"

#include "binding/errors.hpp"
#include "binding/messages.hpp"
#include "binding/panic.hpp"
#include "binding/py_ref.hpp"

#include <new>

namespace vexlora {
namespace {

PyTypeObject* g_type = nullptr;  // created and read with the interpreter lock held

PyObject* compiled_expr_new(PyTypeObject* subtype, PyObject*, PyObject*) {
    std::string name = "<unknown>";
    if (PyRef type_name = PyRef::steal(PyType_GetName(subtype))) {
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(type_name.get(), nullptr)) name = utf8;
    }
    PyErr_Clear();
    return raise_type_error(msg::format_message(msg::kNoConstructor, {name}));
}

// Every instance, however its creation was reached, starts as an empty program with no bands.
PyObject* compiled_expr_alloc(PyTypeObject* type, Py_ssize_t nitems) {
    PyObject* obj = PyType_GenericAlloc(type, nitems);
    if (obj == nullptr) return nullptr;
    auto* expr = reinterpret_cast<CompiledExprObject*>(obj);
    new (&expr->ops) std::vector<ExprOp>();
    expr->num_bands = 0;
    expr->holds = 0;
    expr->built = false;
    return obj;
}

void compiled_expr_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<CompiledExprObject*>(self)->ops.~vector();
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(compiled_expr_new)},
    {Py_tp_alloc, reinterpret_cast<void*>(compiled_expr_alloc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(compiled_expr_dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.CompiledExpr",
    static_cast<int>(sizeof(CompiledExprObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyTypeObject* compiled_expr_type() {
    if (g_type != nullptr) return g_type;
    PyObject* type = PyType_FromSpec(&kSpec);
    if (type == nullptr) {
        PyObject *cause_type = nullptr, *cause = nullptr, *traceback = nullptr;
        PyErr_Fetch(&cause_type, &cause, &traceback);
        PyErr_NormalizeException(&cause_type, &cause, &traceback);
        if (traceback != nullptr && cause != nullptr) PyException_SetTraceback(cause, traceback);
        Py_XDECREF(cause_type);
        Py_XDECREF(traceback);
        const std::string message = msg::format_message(msg::kClassInitFailed, {"CompiledExpr"});
        PyRef error = PyRef::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
        if (!error) {
            Py_XDECREF(cause);
            return nullptr;
        }
        if (cause != nullptr) PyException_SetCause(error.get(), cause);
        PyErr_SetObject(PyExc_RuntimeError, error.get());
        return nullptr;
    }
    g_type = reinterpret_cast<PyTypeObject*>(type);
    return g_type;
}

bool is_compiled_expr(PyObject* obj) {
    return g_type != nullptr && PyObject_TypeCheck(obj, g_type) && reinterpret_cast<CompiledExprObject*>(obj)->built;
}

PyObject* new_compiled_expr(std::vector<ExprOp>&& ops, std::uint64_t num_bands) {
    PyTypeObject* type = compiled_expr_type();
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* expr = reinterpret_cast<CompiledExprObject*>(obj);
    expr->ops = std::move(ops);
    expr->num_bands = num_bands;
    expr->built = true;
    return obj;
}

bool ExprHold::acquire() {
    if (expr_->holds < 0) {
        raise_panic(msg::kAlreadyMutablyBorrowed);
        return false;
    }
    ++expr_->holds;
    held_ = true;
    return true;
}

}  // namespace vexlora
