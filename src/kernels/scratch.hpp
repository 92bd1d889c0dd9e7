// Scratch: the working memory of one thread's pixel loops (band-math value stack, transposing tile).
// Allocated once per pool worker when the pool starts and once per calling thread, never in a loop.
#pragma once

#include "expr/block_steps.hpp"
#include "kernels/traversal.hpp"

#include <cstddef>

namespace vexlora {

struct Scratch {
    // The band-math value stack and the gathered bands, one block per entry.
    static constexpr std::size_t kSlots = kStackSlots + kGatheredSlots;
    alignas(64) std::byte slots[kSlots * kBlockBytes];
    alignas(64) std::byte tile[kTransposeTileBytes];
};

// The calling thread's scratch, made on its first use and freed when the thread ends; null if it
// cannot be allocated. Call with the interpreter lock held, so that a failure can be raised.
Scratch* calling_thread_scratch() noexcept;

}  // namespace vexlora
