// PanicException creation and raising, with the standard-error diagnostic.
// The type derives from BaseException so that it passes through `except Exception:` handlers.
#include "binding/panic.hpp"

#include "binding/messages.hpp"
#include "binding/py_ref.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vexlora {
namespace {

constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\nThe exception raised when native code of this module fails irrecoverably (panics) while called "
    "from Python.\n\nLike SystemExit, this exception is derived from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.\n";

PyObject* g_panic_type = nullptr;  // created and read with the interpreter lock held

void write_diagnostic(std::string_view message, const std::source_location& where) {
    char name[32] = "unnamed";
#if defined(__GLIBC__)
    pthread_getname_np(pthread_self(), name, sizeof name);
#endif
    std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u:\n%.*s\n", name, where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

[[noreturn]] void abort_uncaught() {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(msg::kUncaughtPanic.size()), msg::kUncaughtPanic.data());
    std::fflush(stderr);
    std::abort();
}

}  // namespace

PyObject* panic_exception_type() {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

PyObject* raise_panic(std::string_view message, std::source_location where) {
    write_diagnostic(message, where);
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_uncaught();
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) abort_uncaught();
    PyErr_SetObject(type, text.get());
    return nullptr;
}

std::string describe_pending_error() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return std::string(msg::kNoExceptionSet);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value), owned_tb = PyRef::steal(traceback);
    std::string out = "<unknown error>";
    if (PyRef name = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)))) {
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), nullptr)) out = utf8;
    }
    if (value != nullptr) {
        if (PyRef text = PyRef::steal(PyObject_Str(value))) {
            Py_ssize_t size = 0;
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
                out += ": ";
                out.append(utf8, static_cast<std::size_t>(size));
            }
        }
    }
    PyErr_Clear();
    return out;
}

}  // namespace vexlora
