// The band-math run: which failure every element meets, the region inside every band read,
// and the block-wise evaluation of that region on the pool.
#include "expr/executor.hpp"

#include "binding/messages.hpp"
#include "expr/block_plan.hpp"
#include "expr/program_check.hpp"
#include "kernels/band_stage.hpp"
#include "kernels/fp_env.hpp"
#include "kernels/line_alias.hpp"
#include "kernels/parallel_zip.hpp"
#include "kernels/run_plan.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace vexlora {
namespace {

// Element-operations (elements times ops of the plan) below which the run stays on the calling thread.
constexpr std::int64_t kExprGrainWork = 1 << 17;

static_assert(kStackSlots == kStackSize, "a slot per value-stack entry");
static_assert(Scratch::kSlots >= kStackSlots + kGatheredSlots, "and one per gathered band");

ViewGeometry region_geometry(const ViewGeometry& g, std::int64_t rows, std::int64_t cols) {
    return {rows, cols, g.row_stride, g.col_stride, g.elem_size};
}

// A band read by several steps of a block is read from memory once only if no other band's lines
// evict its lines in between; where they would, it is to be read once per block into a slot. Takes
// such bands out of `direct`, as far as slots for them are left, and says whether it took any.
// Staged bands are left out: they are read from the thread's staging area, not where they lie.
bool take_colliding_reads(const BlockPlan& plan, std::span<const BandView> bands,
                          std::span<const std::int32_t> staged_as, std::int64_t rows, std::int64_t cols,
                          std::span<std::uint8_t> direct, std::pmr::memory_resource* memory) {
    if (plan.read_bands.size() < 2 || !collisions_matter(rows * cols)) return false;
    std::pmr::vector<std::uint32_t> reads(bands.size(), 0, memory);
    auto count = [&](const Operand& o) {
        if (o.kind == OperandKind::Band) ++reads[plan.read_bands[o.index]];
    };
    auto count_chain = [&](const Step& step) {
        count(step.a);
        for (std::uint32_t i = 0; i < step.link_count; ++i) count(step.links[i].operand);
    };
    for (const Step& step : plan.steps) {
        count_chain(step);
        for (std::uint32_t s = 0; s < step.side_count; ++s) count_chain(step.sides[s]);
        for (std::uint32_t b = 0; b < step.prefetched_count; ++b) ++reads[plan.read_bands[step.prefetched[b]]];
    }
    for (std::size_t k = 0; k < bands.size(); ++k) {
        if (staged_as[k] >= 0) reads[k] = 0;
    }
    std::size_t gathered = 0;
    std::pmr::vector<std::uintptr_t> origins(bands.size(), memory);
    std::pmr::vector<ViewGeometry> views(bands.size(), memory);
    for (std::size_t k = 0; k < bands.size(); ++k) {
        gathered += reads[k] > 0 && !direct[k] ? 1 : 0;
        origins[k] = reinterpret_cast<std::uintptr_t>(bands[k].origin);
        views[k] = region_geometry(geometry_of(bands[k]), rows, cols);
    }
    if (gathered >= kGatheredSlots) return false;
    // A block reads kBlock elements of a band in place, at unit stride.
    return avoid_colliding_reads(origins, views, reads, direct, kBlock * 2, kGatheredSlots - gathered);
}

// `pushed` lists the bands the program pushes; only they take part in layout decisions.
void evaluate_region(ThreadPool& pool, const IsaTable& isa, std::span<const ExprOp> ops,
                     std::span<const BandView> bands, std::span<const std::uint64_t> pushed, const OutView& out,
                     std::int64_t rows, std::int64_t cols, std::pmr::memory_resource* memory,
                     Scratch& scratch) {
    // The split follows the output alone; the bands are read by index, not walked as group members.
    const ViewGeometry out_geom = region_geometry(geometry_of(out), rows, cols);
    const ViewLayout out_layout = classify_view(out_geom);
    const ZipGroup group{rows, cols, kNoLayout, out_layout.tendency};

    // Memory order of the walk: flat when the output and every band share one contiguous order.
    std::pmr::vector<ViewGeometry> views({out_geom}, memory);
    for (const std::uint64_t k : pushed) views.push_back(region_geometry(geometry_of(bands[k]), rows, cols));
    const ZipGroup walked = make_zip_group(rows, cols, views);  // every view the run reads or writes
    const bool flat = (walked.flags & (ROW_CONTIGUOUS | COLUMN_CONTIGUOUS)) != 0;
    TraversalPlan plan = plan_traversal(flat, flat ? out_layout.tendency : walked.tendency, views, kBlock);
    plan.line_phase = line_phase(plan, reinterpret_cast<std::uintptr_t>(out.origin), out_geom);

    // Bands read across their memory order are staged, as far as there is room, and then read in
    // place like unit-stride bands.
    std::pmr::vector<std::int64_t> band_run_stride(bands.size(), memory);
    std::pmr::vector<std::uint8_t> direct(bands.size(), memory);
    std::pmr::vector<std::int32_t> staged_as(bands.size(), -1, memory);
    StagedBands first_staged(plan);
    for (const std::uint64_t k : pushed) staged_as[k] = first_staged.add(bands[k]);
    for (std::size_t k = 0; k < bands.size(); ++k) {
        band_run_stride[k] = staged_as[k] >= 0 ? 2 : run_stride(plan, bands[k].row_stride, bands[k].col_stride, 2);
        direct[k] = band_run_stride[k] == 2;
    }
    const std::int64_t out_run_stride = run_stride(plan, out.row_stride, out.col_stride, 4);
    const bool stream = prefers_streaming_stores(plan, out_geom);
    const bool stream_transposed = prefers_streaming_transposed(plan, out_geom);
    const OutputMode mode = stream                                       ? OutputMode::Stream
                            : (plan.transpose || out_run_stride == 4) ? OutputMode::Direct
                                                                      : OutputMode::Store;
    // Steps point into their plan's vectors: a plan is moved whole (which keeps them), never assigned.
    BlockPlan first_plan = build_block_plan(ops, direct, isa.expr, mode, memory);
    const BlockPlan block_plan = take_colliding_reads(first_plan, bands, staged_as, rows, cols, direct, memory)
                                     ? build_block_plan(ops, direct, isa.expr, mode, memory)
                                     : std::move(first_plan);

    std::pmr::vector<BandRead> reads(memory);
    std::pmr::vector<std::uintptr_t> read_origins(memory);
    std::pmr::vector<ViewGeometry> read_views(memory);
    // Only the bands the plan reads are copied (values that no result needs are dropped from it);
    // each was chosen above, so all of them fit.
    StagedBands staged(plan);
    for (const std::uint64_t k : block_plan.read_bands) {
        const BandView& b = bands[k];
        const std::int32_t staged_index = staged_as[k] >= 0 ? staged.add(b) : -1;
        reads.push_back({b.origin, b.row_stride, b.col_stride, band_run_stride[k], staged_index});
        read_origins.push_back(reinterpret_cast<std::uintptr_t>(b.origin));
        read_views.push_back(region_geometry(geometry_of(b), rows, cols));
    }
    const bool single = needs_single_thread(reinterpret_cast<std::uintptr_t>(out.origin), out_geom, read_origins,
                                            read_views);
    std::int64_t work = 0;  // per element: a chain's links, or one for a gather or a store
    for (const Step& step : block_plan.steps) {
        work += std::max<std::int64_t>(1, step.link_count);
        for (std::uint32_t s = 0; s < step.side_count; ++s) work += std::max<std::int64_t>(1, step.sides[s].link_count);
    }
    const std::int64_t grain =
        single ? std::numeric_limits<std::int64_t>::max() : std::max<std::int64_t>(kBlock, kExprGrainWork / work);

    auto run_steps = [&](BlockContext& ctx) {
        for (const Step& step : block_plan.steps) step.fn(step, ctx);
    };
    if (plan.transpose) {
        // Results go down the runs into a tile, which is then written across the output's rows.
        auto body = [&](const Rect& piece, Scratch& thread_scratch) {
            std::byte* const tile_buffer = thread_scratch.tile;
            StagedBlock stage = staged_block(plan, thread_scratch.stage);
            BlockContext ctx{thread_scratch.slots, reads.data(), 0, 0, 0, nullptr, 4, 0, &stage};
            for_each_tile(plan, piece, [&](const Tile& t) {
                if (!staged.empty()) stage_bands(stage, tile_rect(plan, t), staged.bands());
                for (std::int64_t s = 0; s < t.width; s += kTransposeAbreast) {
                    for (std::int64_t p = 0; p < t.runs; p += kBlock) {
                        for (std::int64_t o = s; o < std::min(t.width, s + kTransposeAbreast); ++o) {
                            ctx.row = tile_row(plan, t, p, o);
                            ctx.col = tile_col(plan, t, p, o);
                            ctx.out = tile_buffer + o * kTransposePitch + p * 4;
                            ctx.n = std::min(kBlock, t.runs - p);
                            run_steps(ctx);
                        }
                    }
                }
                isa.transpose_store(tile_buffer, kTransposePitch, t.runs, t.width,
                                    out.origin + t.row * out.row_stride + t.col * out.col_stride, out_run_stride,
                                    stream_transposed);
            });
        };
        parallel_zip_for_each(pool, transposing_split(group, plan), single ? grain : transposing_grain(group, pool, grain),
                              body, scratch);
        return;
    }
    auto body = [&](const Rect& piece, Scratch& thread_scratch) {
        BlockContext ctx{thread_scratch.slots, reads.data(), 0, 0, 0, nullptr, out_run_stride, 0, nullptr};
        // In a flat run, blocks after the first start on the output's cache lines.
        std::int64_t first_run = 0;
        const std::byte* piece_out = out.origin + piece.row * out.row_stride + piece.col * out.col_stride;
        if (plan.flat && reinterpret_cast<std::uintptr_t>(piece_out) % 4 == 0) {
            first_run = static_cast<std::int64_t>((64 - reinterpret_cast<std::uintptr_t>(piece_out) % 64) % 64) / 4;
        }
        auto segment = [&](const Segment& s) {
            ctx.row = s.row;
            ctx.col = s.col;
            ctx.offset = s.offset;
            ctx.out = out.origin + s.row * out.row_stride + s.col * out.col_stride + s.offset * out_run_stride;
            ctx.n = s.length;
            run_steps(ctx);
        };
        if (staged.empty()) {
            for_each_segment(plan, piece, segment, first_run);
        } else {
            StagedBlock stage = staged_block(plan, thread_scratch.stage);
            ctx.staged = &stage;
            for_each_staged_segment(plan, piece, staged.bands(), stage, segment);
        }
        if (mode == OutputMode::Stream) store_fence();
    };
    parallel_zip_for_each(pool, group, grain, body, scratch);
}

}  // namespace

std::optional<std::string> execute_program(ThreadPool& pool, const IsaTable& isa, std::span<const ExprOp> ops,
                                           std::span<const BandView> bands, const OutView& out,
                                           std::pmr::memory_resource* memory, Scratch& scratch) {
    if (out.rows == 0 || out.cols == 0) return std::nullopt;
    const ProgramCheck check = check_program(ops, bands.size(), memory);

    // Elements outside a band they push fail with the ndarray message before any later check.
    std::int64_t rows = out.rows, cols = out.cols;
    for (const std::uint64_t k : check.reached_bands) {
        rows = std::min(rows, bands[k].rows);
        cols = std::min(cols, bands[k].cols);
    }
    const bool region_empty = rows == 0 || cols == 0;
    const auto ndarray_failure = [] { return std::string(msg::kNdarrayOutOfBounds); };
    // Every element fails. The failure that travels is that of the piece holding element [0, 0],
    // which that element decides.
    if (check.failure) return region_empty ? ndarray_failure() : *check.failure;
    if (region_empty) return ndarray_failure();

    std::pmr::vector<std::uint64_t> pushed(check.reached_bands, memory);
    std::sort(pushed.begin(), pushed.end());
    pushed.erase(std::unique(pushed.begin(), pushed.end()), pushed.end());
    evaluate_region(pool, isa, ops, bands, pushed, out, rows, cols, memory, scratch);
    if (rows != out.rows || cols != out.cols) return ndarray_failure();
    return std::nullopt;
}

}  // namespace vexlora
