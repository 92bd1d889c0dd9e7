// The exit function that marks the interpreter as ending, registered with the atexit module: it runs
// before the interpreter starts ending other threads that wait for the lock.
#include "binding/interpreter_exit.hpp"

#include "binding/py_ref.hpp"

namespace vexlora {
namespace {

PyObject* mark_exiting(PyObject*, PyObject*) {
    detail::g_exiting_thread.store(pthread_self(), std::memory_order_relaxed);
    detail::g_exiting.store(true, std::memory_order_release);
    Py_RETURN_NONE;
}

PyMethodDef kMarkExiting = {"_vexlora_interpreter_exit", mark_exiting, METH_NOARGS, nullptr};

}  // namespace

void watch_interpreter_exit() {
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    PyRef function = PyRef::steal(PyCMethod_New(&kMarkExiting, nullptr, nullptr, nullptr));
    PyRef done;
    if (atexit && function) {
        done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
    }
    if (!done) PyErr_Clear();
}

}  // namespace vexlora
