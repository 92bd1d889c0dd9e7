// The calling threads' scratch blocks: one per thread that runs pixel loops, kept for its lifetime.
// Pool workers get theirs from the pool, so no thread allocates inside a pixel loop.
#include "kernels/scratch.hpp"

#include <memory>
#include <new>

namespace vexlora {

Scratch* calling_thread_scratch() noexcept {
    thread_local std::unique_ptr<Scratch> scratch;
    if (!scratch) scratch.reset(new (std::nothrow) Scratch());
    return scratch.get();
}

}  // namespace vexlora
