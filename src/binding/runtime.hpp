// What every array call needs from the process: the worker pool (rebuilt after fork),
// a borrow registry that forgets a parent's calls in a forked child, and the instruction set.
#pragma once

#include "kernels/isa.hpp"
#include "kernels/thread_pool.hpp"

namespace vexlora {

// Call at the start of every array function, with the interpreter lock held.
void refresh_after_fork();

}  // namespace vexlora
