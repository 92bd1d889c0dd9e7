// Band staging: in a tiled or transposing walk, a band read across its memory order is first copied
// a block at a time into run order, so its cache lines are read once and whole, not once per element.
#pragma once

#include "kernels/parallel_zip.hpp"
#include "kernels/strided_view.hpp"
#include "kernels/traversal.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vexlora {

// Bytes between the staged runs of a block of the tiled walk and of a transposing tile. A
// transposing tile's is a line more than a run, so that its long runs do not share a few cache
// sets; the same padding measured 10-15% slower for the tiled walk's blocks at 8192 x 8192.
inline constexpr std::int64_t kStagePitch = 2 * kTileRun;
inline constexpr std::int64_t kTransposeStagePitch = 2 * kTransposeRuns + 64;
// Bands staged at most: one of a transposing tile, or eight of the other walk; the rest are gathered.
inline constexpr std::size_t kMaxStagedTransposed = 1;
inline constexpr std::size_t kMaxStagedTiled = 8;
// The staging area of a thread.
inline constexpr std::int64_t kStageBytes = std::max(kTransposeStagePitch * kTransposeWidth * kMaxStagedTransposed,
                                                     kStagePitch * kTileOuter * kMaxStagedTiled);
static_assert(kTileRun % kLineFloats == 0, "blocks after a run's first start on a line");

// Where the current block (or tile) of a walk is staged: staged band k from base + k * band_bytes,
// each of its runs at unit stride and `pitch` bytes after the one before.
struct StagedBlock {
    std::byte* base;
    Rect block;
    bool rows_inner;  // runs go down the columns
    std::int64_t pitch;
    std::int64_t band_bytes;

    const std::byte* element(std::int64_t band, std::int64_t row, std::int64_t col) const {
        const std::int64_t p = rows_inner ? row - block.row : col - block.col;
        const std::int64_t o = rows_inner ? col - block.col : row - block.row;
        return base + band * band_bytes + o * pitch + 2 * p;
    }
};

// A band that is staged: element [i, j] at origin + i * row_stride + j * col_stride.
struct StagedSource {
    const std::byte* origin;
    std::int64_t row_stride;
    std::int64_t col_stride;
};

// The bands a call stages, staged band k = bands[k].
class StagedBands {
public:
    explicit StagedBands(const TraversalPlan& plan);
    // Adds the band if the plan reads it across its memory order and there is room: its staged
    // index, or -1 (the band is then read in place or gathered).
    std::int32_t add(const BandView& band);
    std::span<const StagedSource> bands() const { return {bands_, count_}; }
    bool empty() const { return count_ == 0; }

private:
    const TraversalPlan& plan_;
    std::size_t capacity_;
    std::size_t count_ = 0;
    StagedSource bands_[kMaxStagedTiled];
};

// The staging area of a plan's blocks or tiles in `buffer` (kStageBytes).
StagedBlock staged_block(const TraversalPlan& plan, std::byte* buffer);

// Copies the current block of a band (element [i, j] at origin + i * row_stride + j * col_stride)
// into its staging area as staged band k.
void stage_band(const StagedBlock& staged, std::int64_t k, const StagedSource& band);

// Makes `block` the staged block and copies `bands` into it (staged band k = bands[k]).
inline void stage_bands(StagedBlock& staged, const Rect& block, std::span<const StagedSource> bands) {
    staged.block = block;
    for (std::size_t k = 0; k < bands.size(); ++k) stage_band(staged, static_cast<std::int64_t>(k), bands[k]);
}

// Walks a piece of a tiled plan as for_each_segment does, but stages `bands` before the segments
// of each block, which may then read them from there.
template <class Body>
void for_each_staged_segment(const TraversalPlan& plan, const Rect& piece, std::span<const StagedSource> bands,
                             StagedBlock& staged, Body&& body) {
    for_each_blocked_segment(
        plan, piece, [&](const Rect& block) { stage_bands(staged, block, bands); }, body);
}

}  // namespace vexlora
