// guarded_call: the boundary between C++ and the interpreter for every module function.
// A C++ exception (an allocation failure) never crosses it; it becomes a PanicException.
#pragma once

#include "binding/panic.hpp"

#include <Python.h>

#include <exception>
#include <new>
#include <string>

namespace vexlora {

template <class Body>
PyObject* guarded_call(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return raise_panic("memory allocation failed");
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown internal failure");
    }
}

}  // namespace vexlora
