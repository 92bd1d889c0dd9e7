// Per-process state seen by the array functions, and its repair in a child process after fork():
// the child has none of the parent's threads, so their borrows and the parent's pool are void there.
#include "binding/runtime.hpp"

#include "binding/borrow_registry.hpp"
#include "kernels/thread_pool.hpp"

#include <cstdint>

namespace vexlora {
namespace {

std::uint64_t g_seen_generation = 0;  // read and written with the interpreter lock held

}  // namespace

void refresh_after_fork() {
    const std::uint64_t generation = fork_generation();
    if (generation == g_seen_generation) return;
    g_seen_generation = generation;
    borrow_registry().clear();
}

}  // namespace vexlora
