// ZipGroup and parallel_zip_for_each: the parallel walk of same-shaped views.
// The index space is halved recursively into rectangles (pieces) that the pool's threads process.
#pragma once

#include "kernels/layout.hpp"
#include "kernels/strided_view.hpp"
#include "kernels/thread_pool.hpp"

#include <cstdint>
#include <span>

namespace vexlora {

// A rectangle of the index space: rows [row, row + rows) and columns [col, col + cols).
struct Rect {
    std::int64_t row;
    std::int64_t col;
    std::int64_t rows;
    std::int64_t cols;
};

// The views walked together (output first): their common extents, the intersection of their
// layout flags and the sum of their tendencies. Pieces keep the parent's flags and tendency.
// Along the axis that is halved first, a split falls where the index is split_phase modulo
// split_quantum when the piece is wide enough (so that pieces keep whole tiles), else halfway.
struct ZipGroup {
    std::int64_t rows;
    std::int64_t cols;
    unsigned flags;
    int tendency;
    std::int64_t split_quantum = 1;
    std::int64_t split_phase = 0;
};

ZipGroup make_zip_group(std::int64_t rows, std::int64_t cols, std::span<const ViewGeometry> views);

// True when the group's split prefers column order (the columns axis is halved first).
bool prefers_column_order(const ZipGroup& group);

// The rectangle of piece `index` when the index space is halved `depth` times.
Rect piece_rect(const ZipGroup& group, unsigned depth, std::uint32_t index);

using PieceFn = void (*)(void* context, const Rect& piece, Scratch& scratch);

// Calls `fn` once for each piece, pieces covering the index space exactly once, each with the
// scratch of the thread that runs it (`caller_scratch` on the calling thread). Groups below two
// grains run on the calling thread without a hand-off. Called without the interpreter lock.
void parallel_zip_for_each(ThreadPool& pool, const ZipGroup& group, std::int64_t grain, PieceFn fn,
                           void* context, Scratch& caller_scratch);

template <class Body>
void parallel_zip_for_each(ThreadPool& pool, const ZipGroup& group, std::int64_t grain, Body& body,
                           Scratch& caller_scratch) {
    parallel_zip_for_each(
        pool, group, grain,
        [](void* ctx, const Rect& piece, Scratch& scratch) { (*static_cast<Body*>(ctx))(piece, scratch); }, &body,
        caller_scratch);
}

}  // namespace vexlora
