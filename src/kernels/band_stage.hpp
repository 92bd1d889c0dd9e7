// Band staging: in a tiled walk, a band read across its memory order is first copied a block at a
// time into run order, so that its cache lines are read once and whole instead of once per element.
#pragma once

#include "kernels/parallel_zip.hpp"
#include "kernels/traversal.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace vexlora {

// Bytes between the staged runs of a block of the tiled walk and of a transposing tile; a
// transposing tile's is a line more than a run, so that its runs do not share a few cache sets.
inline constexpr std::int64_t kStagePitch = 2 * kTileRun;
inline constexpr std::int64_t kTransposeStagePitch = 2 * kTransposeRuns + 64;
// The staging area of a thread: one band of a transposing tile, or several blocks of the other walk.
inline constexpr std::int64_t kStageBytes = kTransposeStagePitch * kTransposeWidth;

// How many bands a plan stages at most (the rest are gathered as before).
std::int64_t max_staged_bands(const TraversalPlan& plan);

// True for a band with these strides that a tiled or transposing walk reads across its memory
// order: along the runs it is not unit-stride, and its neighbours across them are closer in memory.
bool stages_band(const TraversalPlan& plan, std::int64_t row_stride, std::int64_t col_stride);

// Where the current block (or tile) of a walk is staged: element [row, col] of staged band k lies
// at base + k * band_bytes + (row - block.row) * row_stride + (col - block.col) * col_stride, and
// one of the two strides is 2 (along the runs), the other the pitch between runs.
struct StagedBlock {
    std::byte* base;
    Rect block;
    std::int64_t row_stride;
    std::int64_t col_stride;
    std::int64_t pitch;
    std::int64_t band_bytes;

    const std::byte* element(std::int64_t band, std::int64_t row, std::int64_t col) const {
        return base + band * band_bytes + (row - block.row) * row_stride + (col - block.col) * col_stride;
    }
};

// A band that is staged: element [i, j] at origin + i * row_stride + j * col_stride.
struct StagedSource {
    const std::byte* origin;
    std::int64_t row_stride;
    std::int64_t col_stride;
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
    TraversalPlan untiled = plan;
    untiled.tile = 0;
    for_each_tile_block(plan, piece, [&](const Rect& block) {
        stage_bands(staged, block, bands);
        for_each_segment(untiled, block, body);
    });
}

}  // namespace vexlora
