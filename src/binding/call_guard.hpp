// guarded_call: the boundary between C++ and the interpreter for every module function.
// A C++ exception (an allocation failure) never crosses it; it becomes a PanicException.
#pragma once

#include "binding/panic.hpp"

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>

namespace vexlora {

// Not noexcept, and abi::__forced_unwind passes through: when the interpreter is finalizing, a
// daemon thread that waits for the lock (inside a Python callback of the call, or where NumPy
// released the lock while allocating) is ended by pthread_exit, whose unwinding must reach the
// thread's start. Swallowing it aborts the process; it is also no failure to raise, as this
// thread no longer holds the lock.
template <class Body>
PyObject* guarded_call(Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        return raise_panic("memory allocation failed");
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown internal failure");
    }
}

}  // namespace vexlora
