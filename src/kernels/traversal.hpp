// for_each_segment: how one piece is walked, as runs of elements along an inner axis.
// Runs are flat (the piece's memory order), row or column segments, optionally in cache-sized tiles.
#pragma once

#include "kernels/parallel_zip.hpp"

#include <algorithm>
#include <cstdint>

namespace vexlora {

struct TraversalPlan {
    bool flat;                 // every view shares one contiguous memory order: one run per piece
    bool rows_inner;           // segments run down a column (over rows) rather than along a row
    std::int64_t max_run;      // longest segment handed to the body
    std::int64_t tile;         // when > 0, outer indices are visited in bands of this width, inner blocks first
};

// One run: element (row, col) of the piece plus `offset` steps along the run, `length` elements long.
struct Segment {
    std::int64_t row;
    std::int64_t col;
    std::int64_t offset;
    std::int64_t length;
};

// Byte stride of a view along the runs of a plan.
inline std::int64_t run_stride(const TraversalPlan& plan, std::int64_t row_stride, std::int64_t col_stride,
                               std::int64_t elem_size) {
    return plan.flat ? elem_size : (plan.rows_inner ? row_stride : col_stride);
}

template <class Body>
void for_each_segment(const TraversalPlan& plan, const Rect& piece, Body&& body) {
    if (plan.flat) {
        const std::int64_t total = piece.rows * piece.cols;
        for (std::int64_t off = 0; off < total; off += plan.max_run) {
            body(Segment{piece.row, piece.col, off, std::min(plan.max_run, total - off)});
        }
        return;
    }
    const std::int64_t inner = plan.rows_inner ? piece.rows : piece.cols;
    const std::int64_t outer = plan.rows_inner ? piece.cols : piece.rows;
    auto emit = [&](std::int64_t o, std::int64_t p) {
        const std::int64_t len = std::min(plan.max_run, inner - p);
        if (plan.rows_inner) body(Segment{piece.row + p, piece.col + o, 0, len});
        else body(Segment{piece.row + o, piece.col + p, 0, len});
    };
    if (plan.tile <= 0) {
        for (std::int64_t o = 0; o < outer; ++o) {
            for (std::int64_t p = 0; p < inner; p += plan.max_run) emit(o, p);
        }
        return;
    }
    // Tiles: views that are contiguous along the outer axis reuse each cache line across the tile.
    for (std::int64_t o0 = 0; o0 < outer; o0 += plan.tile) {
        const std::int64_t o1 = std::min(outer, o0 + plan.tile);
        for (std::int64_t p = 0; p < inner; p += plan.max_run) {
            for (std::int64_t o = o0; o < o1; ++o) emit(o, p);
        }
    }
}

}  // namespace vexlora
