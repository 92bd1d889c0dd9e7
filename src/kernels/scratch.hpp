// Scratch: the working memory of one thread's pixel loops (value stack, transposing tile, staged bands).
// Allocated once per pool worker when the pool starts and once per calling thread, never in a loop.
#pragma once

#include "expr/block_steps.hpp"
#include "kernels/band_stage.hpp"
#include "kernels/traversal.hpp"

#include <cstddef>
#include <type_traits>

namespace vexlora {

// Made with `new Scratch()`, which zero-fills it: a tile narrower than a vector block is still read
// as a whole block, and the columns past its width must hold some value (they are never written
// out). Keep it an aggregate without a user-provided constructor, or that zero-filling stops.
struct Scratch {
    // The band-math value stack and the gathered bands, one block per entry.
    static constexpr std::size_t kSlots = kStackSlots + kGatheredSlots;
    alignas(64) std::byte slots[kSlots * kBlockBytes];
    alignas(64) std::byte tile[kTransposeTileBytes];
    // Bands read across their memory order, copied a block at a time into run order.
    alignas(64) std::byte stage[kStageBytes];
};
static_assert(std::is_aggregate_v<Scratch>, "zero-filled by value-initialisation");

// The calling thread's scratch, made on its first use and freed when the thread ends; null if it
// cannot be allocated. Call with the interpreter lock held, so that a failure can be raised.
Scratch* calling_thread_scratch() noexcept;

}  // namespace vexlora
