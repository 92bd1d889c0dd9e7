// The calling threads' scratch blocks: lent for one call each from a process-wide list of idle blocks.
// Pool workers get theirs from the pool, so no thread allocates inside a pixel loop.
#include "kernels/scratch.hpp"

#include "kernels/cpu_count.hpp"
#include "kernels/thread_pool.hpp"

#include <mutex>
#include <new>

namespace vexlora {

// Value-initialised, so the scratch is zero-filled as its comment asks.
struct ScratchBlock {
    Scratch scratch;
    ScratchBlock* next;
};

namespace {

// The idle blocks, last returned first (its lines are the likeliest to be still cached). The lock is
// held only to push or pop, never while allocating or freeing.
std::mutex g_idle_mutex;
ScratchBlock* g_idle = nullptr;
unsigned g_idle_count = 0;

}  // namespace

ScratchLease::ScratchLease() noexcept {
    {
        std::lock_guard lock(g_idle_mutex);
        block_ = g_idle;
        if (block_ != nullptr) {
            g_idle = block_->next;
            --g_idle_count;
        }
    }
    if (block_ == nullptr) block_ = new (std::nothrow) ScratchBlock();
}

ScratchLease::~ScratchLease() {
    if (block_ == nullptr) return;
    // More calls than processors do not run at once, so more idle blocks than that would only be kept.
    static const unsigned kept = usable_processor_count();
    {
        std::lock_guard lock(g_idle_mutex);
        if (g_idle_count < kept) {
            block_->next = g_idle;
            g_idle = block_;
            ++g_idle_count;
            return;
        }
    }
    delete block_;
}

Scratch* ScratchLease::get() const noexcept { return block_ != nullptr ? &block_->scratch : nullptr; }

}  // namespace vexlora
