// Band staging: which bands a walk copies into run order, and the copy of one block or tile.
// The copy reads the band along its memory order, so each of its lines is fetched once per block.
#include "kernels/band_stage.hpp"

#include "kernels/strided_view.hpp"

#include <cstring>

namespace vexlora {
namespace {

using U16x8 = std::uint16_t __attribute__((vector_size(16)));

// Positions along the runs by which the copy's prefetches run ahead of its loads: each position
// is a separate cache line of the band, and only many misses in flight hide their latency.
constexpr std::int64_t kAhead = 16;

// Transposes eight vectors of eight uint16 (v[j][k] becomes v[k][j]) by interleaving pairs of
// 16-, then 32-, then 64-bit pieces.
inline void transpose8(U16x8 (&v)[8]) {
    U16x8 a[8], b[8];
    for (int j = 0; j < 4; ++j) {
        a[2 * j] = __builtin_shufflevector(v[2 * j], v[2 * j + 1], 0, 8, 1, 9, 2, 10, 3, 11);
        a[2 * j + 1] = __builtin_shufflevector(v[2 * j], v[2 * j + 1], 4, 12, 5, 13, 6, 14, 7, 15);
    }
    for (int h = 0; h < 2; ++h) {
        for (int j = 0; j < 2; ++j) {
            const U16x8 x = a[4 * h + j], y = a[4 * h + j + 2];
            b[4 * h + 2 * j] = __builtin_shufflevector(x, y, 0, 1, 8, 9, 2, 3, 10, 11);
            b[4 * h + 2 * j + 1] = __builtin_shufflevector(x, y, 4, 5, 12, 13, 6, 7, 14, 15);
        }
    }
    for (int j = 0; j < 4; ++j) {
        v[2 * j] = __builtin_shufflevector(b[j], b[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        v[2 * j + 1] = __builtin_shufflevector(b[j], b[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

// Eight positions along the runs from p, across all runs that come in groups of eight from
// o = 0 (a band whose neighbouring runs are adjacent in memory).
void stage_groups(const std::byte* src, std::int64_t along, std::int64_t runs, std::int64_t p, std::byte* dst,
                  std::int64_t pitch) {
    for (std::int64_t o = 0; o + 8 <= runs; o += 8) {
        U16x8 v[8];
        for (int j = 0; j < 8; ++j) std::memcpy(&v[j], src + (p + j) * along + 2 * o, sizeof v[j]);
        transpose8(v);
        for (int k = 0; k < 8; ++k) std::memcpy(dst + (o + k) * pitch + 2 * p, &v[k], sizeof v[k]);
    }
}

}  // namespace

StagedBands::StagedBands(const TraversalPlan& plan)
    : plan_(plan),
      capacity_(plan.flat ? 0 : plan.transpose ? kMaxStagedTransposed : plan.tile > 0 ? kMaxStagedTiled : 0) {}

std::int32_t StagedBands::add(const BandView& band) {
    // Along the runs not unit-stride, and the neighbours across them closer in memory.
    const std::int64_t along = plan_.rows_inner ? band.row_stride : band.col_stride;
    const std::int64_t across = plan_.rows_inner ? band.col_stride : band.row_stride;
    if (count_ >= capacity_ || along == 2 || stride_magnitude(across) >= stride_magnitude(along)) return -1;
    bands_[count_] = {band.origin, band.row_stride, band.col_stride};
    return static_cast<std::int32_t>(count_++);
}

StagedBlock staged_block(const TraversalPlan& plan, std::byte* buffer) {
    const std::int64_t pitch = plan.transpose ? kTransposeStagePitch : kStagePitch;
    const std::int64_t runs = plan.transpose ? kTransposeWidth : kTileOuter;
    return StagedBlock{buffer, Rect{}, plan.rows_inner, pitch, pitch * runs};
}

void stage_band(const StagedBlock& staged, std::int64_t k, const StagedSource& band) {
    const Rect& b = staged.block;
    const std::int64_t row_stride = band.row_stride, col_stride = band.col_stride;
    const std::int64_t runs = staged.rows_inner ? b.cols : b.rows;
    const std::int64_t length = staged.rows_inner ? b.rows : b.cols;
    const std::int64_t along = staged.rows_inner ? row_stride : col_stride;
    const std::int64_t across = staged.rows_inner ? col_stride : row_stride;
    const std::byte* const src = band.origin + b.row * row_stride + b.col * col_stride;
    std::byte* const dst = staged.base + k * staged.band_bytes;
    const std::int64_t pitch = staged.pitch;
    // Runs adjacent in the band: eight positions at a time, through a transpose in registers.
    std::int64_t p0 = 0;
    std::int64_t o0 = 0;
    if (across == 2) {
        for (; p0 + 8 <= length; p0 += 8) {
            for (std::int64_t j = 0; j < 8 && p0 + kAhead + j < length; ++j) {
                __builtin_prefetch(src + (p0 + kAhead + j) * along);
                __builtin_prefetch(src + (p0 + kAhead + j) * along + 2 * runs - 1);
            }
            stage_groups(src, along, runs, p0, dst, pitch);
        }
        o0 = runs - runs % 8;
    }
    // The rest element by element, position by position: the band is read in its own order.
    auto copy = [&](std::int64_t p, std::int64_t o) {
        std::memcpy(dst + o * pitch + 2 * p, src + p * along + o * across, 2);
    };
    for (std::int64_t p = 0; p < p0; ++p) {
        for (std::int64_t o = o0; o < runs; ++o) copy(p, o);
    }
    for (std::int64_t p = p0; p < length; ++p) {
        for (std::int64_t o = 0; o < runs; ++o) copy(p, o);
    }
}

}  // namespace vexlora
