// GilRelease: releases the interpreter lock for one scope and always takes it back.
// Only pixel loops run inside such a scope; they touch no Python object.
#pragma once

#include <Python.h>

#include <cxxabi.h>
#include <unistd.h>

namespace vexlora {

class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() {
        try {
            PyEval_RestoreThread(state_);
        } catch (abi::__forced_unwind&) {
            // The interpreter is finalizing and ends this (daemon) thread with pthread_exit. Unwinding
            // would run the call's destructors without the lock and cannot pass this noexcept frame;
            // the thread waits here instead until the process exits.
            for (;;) pause();
        }
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace vexlora
