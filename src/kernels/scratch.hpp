// Scratch: the working memory of one thread's pixel loops (value stack, transposing tile, staged bands).
// Allocated once per pool worker when the pool starts; calling threads borrow one for each call.
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

struct ScratchBlock;

// A scratch block lent to the calling thread for one call: the most recently returned idle block, or a
// new one if none is idle. Ending the lease returns it; idle blocks beyond one per logical processor
// are freed. So memory follows how many calls run at once, not how many threads have ever called.
// Take and end leases with the interpreter lock held: Python forks with that lock, so a child never
// inherits the list's own lock taken.
class ScratchLease {
public:
    ScratchLease() noexcept;
    ~ScratchLease();
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;

    // Null if no block was idle and a new one could not be allocated.
    Scratch* get() const noexcept;

private:
    ScratchBlock* block_;
};

}  // namespace vexlora
