// GilRelease: releases the interpreter lock for one scope and always takes it back.
// Only pixel loops run inside such a scope; they touch no Python object.
#pragma once

#include <Python.h>

namespace vexlora {

class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace vexlora
