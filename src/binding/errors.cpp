// Raising the module's TypeErrors and ValueErrors with their exact wording,
// and the argument-name prefix for failed conversions.
#include "binding/errors.hpp"

#include "binding/messages.hpp"
#include "binding/py_ref.hpp"

namespace vexlora {

std::string type_qualname(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return std::string(msg::kUnknownTypeName);
}

namespace {

// Sets `type` with the message as a str of exactly these bytes (texts may hold NUL characters).
PyObject* raise_with_text(PyObject* type, const std::string& message) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace

PyObject* raise_type_error(const std::string& message) { return raise_with_text(PyExc_TypeError, message); }

PyObject* raise_value_error(const std::string& message) { return raise_with_text(PyExc_ValueError, message); }

PyObject* raise_cannot_convert(PyObject* obj, std::string_view target) {
    return raise_type_error(msg::format_message(msg::kCannotConvert, {type_qualname(obj), target}));
}

PyObject* propagate_failure() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, std::string(msg::kNoExceptionSet).c_str());
    return nullptr;
}

void prefix_argument_error(const char* name) {
    if (!PyErr_Occurred()) {
        propagate_failure();
        return;
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value), owned_tb = PyRef::steal(traceback);
    PyRef cause = PyRef::steal(PyException_GetCause(value));

    // Formatted by the interpreter (%S is str() of the exception), so any text passes unchanged.
    static_assert(msg::kArgumentPrefix == "argument '{}': {}");
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, value));
    if (!message) return;  // the text itself could not be made: that failure is the result
    PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return;
    if (cause) PyException_SetCause(replacement.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace vexlora
