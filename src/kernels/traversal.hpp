// for_each_segment: how one piece is walked, as runs of elements along an inner axis.
// Runs are flat (the piece's memory order), row or column segments, optionally in cache-sized tiles.
#pragma once

#include "kernels/isa.hpp"
#include "kernels/parallel_zip.hpp"

#include <algorithm>
#include <cstdint>

namespace vexlora {

struct TraversalPlan {
    bool flat;                 // every view shares one contiguous memory order: one run per piece
    bool rows_inner;           // segments run down a column (over rows) rather than along a row
    std::int64_t max_run;      // longest segment handed to the body
    std::int64_t tile;         // when > 0, outer indices are visited in bands of this width, inner blocks first
    bool transpose;            // the output is contiguous across segments: results go through a tile
    // Where the output's cache lines start, as an index along its unit-stride axis: transposing
    // tiles start at outer indices = line_phase (mod kTransposeWidth), the blocks of other tiles
    // at inner indices = line_phase (mod kLineFloats).
    std::int64_t line_phase;
};

// Tiles of the transposing traversal: up to kTransposeRuns elements along each run, kTransposeWidth runs.
// Runs as long as a large band's whole column keep the inputs' reads sequential, so the prefetchers
// restart rarely (8192-element runs measured 5-20% faster than 2048 at 8192 x 8192 for EVI and
// programs); a tile writes 128 contiguous bytes (two lines) of each output row at a time, and
// holds 1 MiB, most of it in the core's L2 until it is written out.
// Inside a tile, runs are computed a few at a time (kTransposeAbreast, kTransposeStreams in isa.hpp).
inline constexpr std::int64_t kTransposeRuns = 8192;
inline constexpr std::int64_t kTransposeWidth = 32;
// Bytes between the runs of a tile: one cache line more than a run, so that the runs do not all map
// to the same few cache sets when the transpose reads across them.
inline constexpr std::int64_t kTransposePitch = kTransposeRuns * 4 + 64;
inline constexpr std::int64_t kTransposeTileBytes = kTransposePitch * kTransposeWidth;
inline constexpr std::int64_t kTransposeBlock = kTransposeRuns;

// Tiles of the other tiled traversal (a view contiguous across the runs, the output along them):
// kTileOuter runs of up to kTileRun elements, so that a tile of every view stays in L1/L2.
inline constexpr std::int64_t kTileOuter = 32;
inline constexpr std::int64_t kTileRun = 1024;
// Float32 elements per cache line of an output.
inline constexpr std::int64_t kLineFloats = 16;

// One tile: `runs` x `width` elements with element (p, o) at [row + p, col + o] for row runs
// (rows_inner), or [row + o, col + p] otherwise.
struct Tile {
    std::int64_t row;
    std::int64_t col;
    std::int64_t runs;
    std::int64_t width;
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
void for_each_tile(const TraversalPlan& plan, const Rect& piece, Body&& body) {
    const std::int64_t inner = plan.rows_inner ? piece.rows : piece.cols;
    const std::int64_t outer = plan.rows_inner ? piece.cols : piece.rows;
    // Tile boundaries fall on outer indices equal to the phase modulo the tile width.
    const std::int64_t piece_outer = plan.rows_inner ? piece.col : piece.row;
    auto next_boundary = [&](std::int64_t o) {
        const std::int64_t offset = ((piece_outer + o - plan.line_phase) % kTransposeWidth + kTransposeWidth) %
                                    kTransposeWidth;
        return o + kTransposeWidth - offset;
    };
    // Blocks of tiles bound the pages that the inputs' runs and the output's rows touch while a block
    // is walked (with huge pages, few enough for the TLB); tiles go across the output first inside one.
    for (std::int64_t pb = 0; pb < inner; pb += kTransposeBlock) {
        for (std::int64_t ob = 0; ob < outer; ob += kTransposeBlock) {
            const std::int64_t p_end = std::min(inner, pb + kTransposeBlock);
            const std::int64_t o_end = std::min(outer, ob + kTransposeBlock);
            for (std::int64_t p = pb; p < p_end; p += kTransposeRuns) {
                for (std::int64_t o = ob; o < o_end;) {
                    const std::int64_t runs = std::min(kTransposeRuns, p_end - p);
                    const std::int64_t next = next_boundary(o);
                    const std::int64_t width = std::min(next, o_end) - o;
                    if (plan.rows_inner) body(Tile{piece.row + p, piece.col + o, runs, width});
                    else body(Tile{piece.row + o, piece.col + p, runs, width});
                    o += width;
                }
            }
        }
    }
}

// The rectangle a tile covers.
inline Rect tile_rect(const TraversalPlan& plan, const Tile& t) {
    return plan.rows_inner ? Rect{t.row, t.col, t.runs, t.width} : Rect{t.row, t.col, t.width, t.runs};
}

// Position of element (p, o) of a tile.
inline std::int64_t tile_row(const TraversalPlan& plan, const Tile& t, std::int64_t p, std::int64_t o) {
    return t.row + (plan.rows_inner ? p : o);
}
inline std::int64_t tile_col(const TraversalPlan& plan, const Tile& t, std::int64_t p, std::int64_t o) {
    return t.col + (plan.rows_inner ? o : p);
}

// The blocks of a tiled plan, in the order its walk visits them: `tile` outer indices by up to
// `max_run` elements along the runs, run by run across the tile; each is walked as the plan
// without tiles. Blocks after a run's first start where the output's lines do, so that its
// vector stores need no scalar head or tail in between.
template <class Body>
void for_each_tile_block(const TraversalPlan& plan, const Rect& piece, Body&& body) {
    const std::int64_t inner = plan.rows_inner ? piece.rows : piece.cols;
    const std::int64_t outer = plan.rows_inner ? piece.cols : piece.rows;
    const std::int64_t piece_inner = plan.rows_inner ? piece.row : piece.col;
    const std::int64_t lead = ((plan.line_phase - piece_inner) % kLineFloats + kLineFloats) % kLineFloats;
    const std::int64_t first = lead > 0 && plan.max_run > kLineFloats ? lead + plan.max_run - kLineFloats : plan.max_run;
    for (std::int64_t o0 = 0; o0 < outer; o0 += plan.tile) {
        const std::int64_t width = std::min(outer - o0, plan.tile);
        for (std::int64_t p = 0; p < inner;) {
            const std::int64_t length = std::min(p == 0 ? first : plan.max_run, inner - p);
            if (plan.rows_inner) body(Rect{piece.row + p, piece.col + o0, length, width});
            else body(Rect{piece.row + o0, piece.col + p, width, length});
            p += length;
        }
    }
}

template <class OnBlock, class Body>
void for_each_blocked_segment(const TraversalPlan& plan, const Rect& piece, OnBlock&& on_block, Body&& body);

// `first_run` (when > 0) shortens the first segment of a flat piece, so that the rest start on a
// boundary the caller chose (such as the output's cache lines).
template <class Body>
void for_each_segment(const TraversalPlan& plan, const Rect& piece, Body&& body, std::int64_t first_run = 0) {
    if (plan.flat) {
        const std::int64_t total = piece.rows * piece.cols;
        std::int64_t off = 0;
        if (first_run > 0 && first_run < total) {
            body(Segment{piece.row, piece.col, 0, first_run});
            off = first_run;
        }
        for (; off < total; off += plan.max_run) {
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
    for_each_blocked_segment(plan, piece, [](const Rect&) {}, body);
}

// The segments of a tiled plan block by block (see for_each_tile_block), with `on_block` called
// before the segments of each block.
template <class OnBlock, class Body>
void for_each_blocked_segment(const TraversalPlan& plan, const Rect& piece, OnBlock&& on_block, Body&& body) {
    TraversalPlan untiled = plan;
    untiled.tile = 0;
    for_each_tile_block(plan, piece, [&](const Rect& block) {
        on_block(block);
        for_each_segment(untiled, block, body);
    });
}

}  // namespace vexlora
