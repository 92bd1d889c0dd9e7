// Interpreter exit: once the interpreter's exit functions run, other threads may be ended by pthread_exit
// while they wait for the interpreter lock, and the unwinding then runs the module's destructors unlocked.
#pragma once

#include <Python.h>

#include <pthread.h>

#include <atomic>

namespace vexlora {

namespace detail {
inline std::atomic<bool> g_exiting{false};
inline std::atomic<pthread_t> g_exiting_thread{};
}  // namespace detail

// Registers the exit function that marks the interpreter as ending. Called once, when the module is
// made; a failure leaves nothing marked and is cleared (the marking only spares objects at exit).
void watch_interpreter_exit();

// False in a thread other than the one running the interpreter's exit, once that has begun: such a
// thread may be unwinding without the lock, so destructors leave Python objects as they are (what
// they would have released lives until the process ends, a moment later).
inline bool may_release_python_objects() noexcept {
    return !detail::g_exiting.load(std::memory_order_acquire) ||
           pthread_equal(detail::g_exiting_thread.load(std::memory_order_relaxed), pthread_self());
}

}  // namespace vexlora
