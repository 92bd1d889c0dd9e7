// Traversal order, tiling, single-thread and streaming-store decisions for one call.
// None of them changes a defined result; they only decide how fast the memory is walked.
#include "kernels/run_plan.hpp"

#include "kernels/layout.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <cstdlib>

namespace vexlora {
namespace {

// Shortest runs for which the inputs' order may overrule the output's: a vector for every width.
constexpr std::int64_t kMinInputsRun = 64;

}  // namespace

std::int64_t last_level_cache_bytes() {
    static const std::int64_t bytes = [] {
        // The slice shared by this core's neighbours, as the kernel reports it; the C library's
        // figure can be a whole socket's (several separate slices) on large parts and under VMs.
        if (std::FILE* f = std::fopen("/sys/devices/system/cpu/cpu0/cache/index3/size", "r")) {
            long kib = 0;
            const int matched = std::fscanf(f, "%ldK", &kib);
            std::fclose(f);
            if (matched == 1 && kib > 0) return static_cast<std::int64_t>(kib) << 10;
        }
        long l3 = 0;
#ifdef _SC_LEVEL3_CACHE_SIZE
        l3 = sysconf(_SC_LEVEL3_CACHE_SIZE);
#endif
        return l3 > 0 ? static_cast<std::int64_t>(l3) : std::int64_t{8} << 20;
    }();
    return bytes;
}

TraversalPlan plan_traversal(bool flat, int tendency, std::span<const ViewGeometry> views, std::int64_t max_run) {
    TraversalPlan plan{flat, tendency < 0, max_run, 0, false, 0};
    if (flat) return plan;
    // An input walked across its memory order is gathered element by element, while an output can
    // be turned through tiles at a small cost. So when the inputs lean one way and the output is
    // unit-stride along or across their runs, the inputs choose, even against the output's tendency
    // (one Fortran-ordered band into a C-ordered output would otherwise be gathered throughout);
    // unless their runs would be too short for the tiles' vectors.
    int inputs = 0;
    for (const ViewGeometry& g : views.subspan(1)) inputs += classify_view(g).tendency;
    const ViewGeometry& out = views[0];
    const std::int64_t inputs_run = inputs < 0 ? out.rows : out.cols;
    if (inputs != 0 && inputs_run >= kMinInputsRun &&
        (out.row_stride == out.elem_size || out.col_stride == out.elem_size)) {
        plan.rows_inner = inputs < 0;
    }
    // An output (views[0]) contiguous across the runs but not along them is written a tile at a time.
    const std::int64_t out_along = plan.rows_inner ? out.row_stride : out.col_stride;
    const std::int64_t out_across = plan.rows_inner ? out.col_stride : out.row_stride;
    if (out_along != out.elem_size && out_across == out.elem_size) {
        plan.transpose = true;
        return plan;
    }
    for (const ViewGeometry& g : views) {
        const std::uint64_t inner = stride_magnitude(plan.rows_inner ? g.row_stride : g.col_stride);
        const std::uint64_t outer = stride_magnitude(plan.rows_inner ? g.col_stride : g.row_stride);
        const std::int64_t outer_extent = plan.rows_inner ? g.cols : g.rows;
        if (outer_extent > 1 && outer < inner) {
            plan.tile = kTileOuter;
            plan.max_run = std::min(max_run, kTileRun);
            break;
        }
    }
    return plan;
}

std::int64_t line_phase(const TraversalPlan& plan, std::uintptr_t out_origin, const ViewGeometry& out) {
    constexpr std::int64_t kLine = 64;
    if (!plan.transpose && plan.tile <= 0) return 0;
    const std::int64_t along = plan.rows_inner ? out.row_stride : out.col_stride;
    const std::int64_t across = plan.rows_inner ? out.col_stride : out.row_stride;
    const std::int64_t unit = plan.transpose ? across : along;
    const std::int64_t other = plan.transpose ? along : across;
    // Only when every row (or column) of the output starts at the same offset within a line.
    if (out_origin % 4 != 0 || unit != 4 || other % kLine != 0) return 0;
    const auto misalignment = static_cast<std::int64_t>(out_origin % kLine);
    return ((kLine - misalignment) % kLine) / 4;
}

ZipGroup transposing_split(const ZipGroup& group, const TraversalPlan& plan) {
    // Split across the runs, not along them (runs down columns: split the columns), so that every
    // piece keeps runs as long as a tile allows: a short run of each band is read at memory latency,
    // while neighbouring pieces share at most a cache line of the output at their edge.
    // Pieces split where the tiles do, so that only the array's own edges make narrow tiles.
    return ZipGroup{group.rows, group.cols, kNoLayout, plan.rows_inner ? -1 : 1, kTransposeWidth, plan.line_phase};
}

std::int64_t transposing_grain(const ZipGroup& group, const ThreadPool& pool, std::int64_t grain) {
    const std::int64_t pieces = 2 * static_cast<std::int64_t>(pool.size());
    return std::max(grain, group.rows * group.cols / pieces);
}

bool needs_single_thread(std::uintptr_t out_origin, const ViewGeometry& out,
                         std::span<const std::uintptr_t> in_origins, std::span<const ViewGeometry> ins) {
    if (may_self_overlap(out)) return true;
    const ByteRange out_range = byte_range(out_origin, out);
    for (std::size_t i = 0; i < ins.size(); ++i) {
        if (ranges_overlap(out_range, byte_range(in_origins[i], ins[i]))) return true;
    }
    return false;
}

bool prefers_streaming_stores(const TraversalPlan& plan, const ViewGeometry& out) {
    if (run_stride(plan, out.row_stride, out.col_stride, out.elem_size) != out.elem_size) return false;
    // From half the last-level cache on, the output and its inputs no longer stay in it together.
    return 2 * out.rows * out.cols * out.elem_size >= last_level_cache_bytes();
}

bool prefers_streaming_transposed(const TraversalPlan& plan, const ViewGeometry& out) {
    // Much earlier than along the runs: a tile writes a few lines of each of many rows, which no
    // prefetcher follows, so a cached store waits for its line unless the output is still cached.
    // Measured with a 32 MiB cache, two Fortran-ordered bands into a C-ordered output, calls
    // repeated on the same arrays: cached stores 10-25% faster at 2 MiB of output, within 20%
    // either way at 4 MiB, from 15% faster to 2x slower at 5-6 MiB, and 1.4-2.6x slower beyond.
    return plan.transpose && 8 * out.rows * out.cols * out.elem_size >= last_level_cache_bytes();
}

}  // namespace vexlora
