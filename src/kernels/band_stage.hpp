// Band staging: in a tiled walk, a band read across its memory order is first copied a block at a
// time into run order, so that its cache lines are read once and whole instead of once per element.
#pragma once

#include "kernels/parallel_zip.hpp"
#include "kernels/traversal.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace vexlora {

// One staged block: kTileOuter runs of up to kTileRun elements, kStagePitch bytes apart.
inline constexpr std::int64_t kStagePitch = 2 * kTileRun;
inline constexpr std::int64_t kStagedBandBytes = kStagePitch * kTileOuter;
// Staged blocks share the thread's transposing tile, which a tiled walk does not use.
inline constexpr std::int64_t kMaxStagedBands = kTransposeTileBytes / kStagedBandBytes;

// True for a band with these strides that the plan's tiled walk reads across its memory order:
// along the runs it is not unit-stride, and its neighbours across them are closer in memory.
bool stages_band(const TraversalPlan& plan, std::int64_t row_stride, std::int64_t col_stride);

// Where the current block of a walk is staged: element [row, col] of staged band k lies at
// base + k * kStagedBandBytes + (row - block.row) * row_stride + (col - block.col) * col_stride.
struct StagedBlock {
    std::byte* base;
    Rect block;
    std::int64_t row_stride;
    std::int64_t col_stride;

    const std::byte* element(std::int64_t band, std::int64_t row, std::int64_t col) const {
        return base + band * kStagedBandBytes + (row - block.row) * row_stride + (col - block.col) * col_stride;
    }
};

// A band that is staged: element [i, j] at origin + i * row_stride + j * col_stride.
struct StagedSource {
    const std::byte* origin;
    std::int64_t row_stride;
    std::int64_t col_stride;
};

// The staging area of a plan's blocks in `buffer` (runs at unit stride, kStagePitch between runs).
StagedBlock staged_block(const TraversalPlan& plan, std::byte* buffer);

// Copies the current block of a band (element [i, j] at origin + i * row_stride + j * col_stride)
// into its staging area as staged band k.
void stage_band(const StagedBlock& staged, std::int64_t k, const StagedSource& band);

// Walks a piece of a tiled plan as for_each_segment does, but copies `bands` (staged band k =
// bands[k]) into `staged` before the segments of each block, which may then read them from there.
template <class Body>
void for_each_staged_segment(const TraversalPlan& plan, const Rect& piece, std::span<const StagedSource> bands,
                             StagedBlock& staged, Body&& body) {
    TraversalPlan untiled = plan;
    untiled.tile = 0;
    for_each_tile_block(plan, piece, [&](const Rect& block) {
        staged.block = block;
        for (std::size_t k = 0; k < bands.size(); ++k) stage_band(staged, static_cast<std::int64_t>(k), bands[k]);
        for_each_segment(untiled, block, body);
    });
}

}  // namespace vexlora
