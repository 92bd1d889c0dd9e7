// The kernel frame's parallel part for the spectral indices: group, traversal, pieces, segments.
// Each segment is handed to the chosen instruction set's loop for the index.
#include "kernels/spectral.hpp"

#include "kernels/band_stage.hpp"
#include "kernels/parallel_zip.hpp"
#include "kernels/run_plan.hpp"

#include <limits>

namespace vexlora {
namespace {

// Elements below which a hand-off to other threads costs more than it saves.
constexpr std::int64_t kSpectralGrain = 32768;
constexpr std::int64_t kWholeRun = std::numeric_limits<std::int64_t>::max();


}  // namespace

void run_spectral(ThreadPool& pool, const IsaTable& isa, const SpectralCall& call, Scratch& scratch) {
    const int n = call.inputs;
    ViewGeometry views[4];
    views[0] = geometry_of(call.out);
    std::uintptr_t in_origins[3];
    for (int i = 0; i < n; ++i) {
        views[i + 1] = geometry_of(call.in[i]);
        in_origins[i] = reinterpret_cast<std::uintptr_t>(call.in[i].origin);
    }
    const std::span<const ViewGeometry> all(views, static_cast<std::size_t>(n + 1));
    const ZipGroup group = make_zip_group(call.out.rows, call.out.cols, all);
    const bool flat = (group.flags & (ROW_CONTIGUOUS | COLUMN_CONTIGUOUS)) != 0;
    TraversalPlan plan = plan_traversal(flat, group.tendency, all, kWholeRun);
    plan.line_phase = line_phase(plan, reinterpret_cast<std::uintptr_t>(call.out.origin), views[0]);
    const bool stream = prefers_streaming_stores(plan, views[0]);
    const bool stream_transposed = prefers_streaming_transposed(plan, views[0]);
    const bool single = needs_single_thread(reinterpret_cast<std::uintptr_t>(call.out.origin), views[0],
                                            {in_origins, static_cast<std::size_t>(n)}, all.subspan(1));

    std::int64_t in_run_stride[3];
    for (int i = 0; i < n; ++i) in_run_stride[i] = run_stride(plan, views[i + 1].row_stride, views[i + 1].col_stride, 2);
    const std::int64_t out_run_stride = run_stride(plan, views[0].row_stride, views[0].col_stride, 4);
    const SpectralSegmentFn kernel = isa.spectral[static_cast<int>(call.kind)];

    // Bands read across their memory order are staged: input i as staged band staged_as[i].
    StagedBands staged(plan);
    std::int32_t staged_as[3];
    for (int i = 0; i < n; ++i) staged_as[i] = staged.add(call.in[i]);

    const SpectralTileFn tile_kernel = isa.spectral_tile[static_cast<int>(call.kind)];
    auto transposing_body = [&](const Rect& piece, Scratch& thread_scratch) {
        std::byte* const buffer = thread_scratch.tile;
        StagedBlock stage = staged_block(plan, thread_scratch.stage);
        for_each_tile(plan, piece, [&](const Tile& t) {
            if (!staged.empty()) stage_bands(stage, tile_rect(plan, t), staged.bands());
            SpectralTile tile{};
            for (int i = 0; i < n; ++i) {
                const BandView& v = call.in[i];
                if (staged_as[i] >= 0) {
                    tile.in[i] = stage.element(staged_as[i], t.row, t.col);
                    tile.in_stride[i] = 2;
                    tile.in_across[i] = stage.pitch;
                    continue;
                }
                tile.in[i] = v.origin + t.row * v.row_stride + t.col * v.col_stride;
                tile.in_stride[i] = in_run_stride[i];
                tile.in_across[i] = plan.rows_inner ? v.col_stride : v.row_stride;
            }
            const OutView& o = call.out;
            tile.out = o.origin + t.row * o.row_stride + t.col * o.col_stride;
            tile.out_stride = out_run_stride;
            tile.runs = t.runs;
            tile.width = t.width;
            tile.buffer = buffer;
            tile.pitch = kTransposePitch;
            tile.stream = stream_transposed;
            tile_kernel(tile, call.params);
        });
    };
    if (plan.transpose) {
        parallel_zip_for_each(pool, transposing_split(group, plan),
                              single ? kWholeRun : transposing_grain(group, pool, kSpectralGrain), transposing_body,
                              scratch);
        return;
    }

    auto segment = [&](const Segment& s, const StagedBlock* stage) {
        SpectralSegment seg{};
        for (int i = 0; i < n; ++i) {
            const BandView& v = call.in[i];
            if (staged_as[i] >= 0) {
                seg.in[i] = stage->element(staged_as[i], s.row, s.col);
                seg.in_stride[i] = 2;
                continue;
            }
            seg.in[i] = v.origin + s.row * v.row_stride + s.col * v.col_stride + s.offset * in_run_stride[i];
            seg.in_stride[i] = in_run_stride[i];
        }
        const OutView& o = call.out;
        seg.out = o.origin + s.row * o.row_stride + s.col * o.col_stride + s.offset * out_run_stride;
        seg.out_stride = out_run_stride;
        seg.n = s.length;
        seg.stream = stream;
        kernel(seg, call.params);
    };
    auto body = [&](const Rect& piece, Scratch& thread_scratch) {
        if (staged.empty()) {
            for_each_segment(plan, piece, [&](const Segment& s) { segment(s, nullptr); });
            return;
        }
        StagedBlock stage = staged_block(plan, thread_scratch.stage);
        for_each_staged_segment(plan, piece, staged.bands(), stage,
                                [&](const Segment& s) { segment(s, &stage); });
    };
    parallel_zip_for_each(pool, group, single ? kWholeRun : kSpectralGrain, body, scratch);
}

}  // namespace vexlora
