// Splitting the index space into pieces by recursive halving along the preferred axis,
// and handing the pieces to the pool (or running them inline when the group is small).
#include "kernels/parallel_zip.hpp"

#include "kernels/fp_env.hpp"

#include <algorithm>
#include <bit>

namespace vexlora {
namespace {

// Pieces per thread: enough slack that a thread delayed by the OS does not stall the call.
constexpr std::int64_t kPiecesPerThread = 8;

struct PieceJob {
    ZipGroup group;
    unsigned depth;
    PieceFn fn;
    void* context;
};

void run_piece(void* ctx, std::uint32_t index, Scratch& scratch) {
    const auto& job = *static_cast<const PieceJob*>(ctx);
    const Rect piece = piece_rect(job.group, job.depth, index);
    if (piece.rows > 0 && piece.cols > 0) job.fn(job.context, piece, scratch);
}

// Elements in the left half when [start, start + extent) is split: the boundary of the group's
// split quantum nearest the middle, if one lies within an eighth of the extent of it, else half.
std::int64_t split_point(const ZipGroup& group, std::int64_t start, std::int64_t extent) {
    const std::int64_t half = extent / 2;
    const std::int64_t q = group.split_quantum;
    if (q <= 1) return half;
    const std::int64_t middle = start + half;
    const std::int64_t below = middle - ((middle - group.split_phase) % q + q) % q;
    const std::int64_t above = below + q;
    // A boundary further out is not taken: a tile cut in two costs less than one thread left idle
    // while another finishes a larger part.
    const std::int64_t slack = extent / 8;
    const bool below_ok = below > start && middle - below <= slack;
    const bool above_ok = above < start + extent && above - middle <= slack;
    if (below_ok && (!above_ok || middle - below <= above - middle)) return below - start;
    if (above_ok) return above - start;
    return half;
}

}  // namespace

ZipGroup make_zip_group(std::int64_t rows, std::int64_t cols, std::span<const ViewGeometry> views) {
    ZipGroup group{rows, cols, kAllLayoutFlags, 0};
    for (const ViewGeometry& g : views) {
        const ViewLayout layout = classify_view(g);
        group.flags &= layout.flags;
        group.tendency += layout.tendency;
    }
    return group;
}

bool prefers_column_order(const ZipGroup& group) {
    return (group.flags & ROW_CONTIGUOUS) == 0 && ((group.flags & COLUMN_CONTIGUOUS) != 0 || group.tendency < 0);
}

Rect piece_rect(const ZipGroup& group, unsigned depth, std::uint32_t index) {
    Rect r{0, 0, group.rows, group.cols};
    const bool column_order = prefers_column_order(group);
    for (unsigned level = 0; level < depth; ++level) {
        const bool right = ((index >> (depth - 1 - level)) & 1u) != 0;
        if (r.rows * r.cols <= 1) {
            // A piece of at most one element is never split: its right half is empty.
            if (right) r.rows = r.cols = 0;
            continue;
        }
        bool split_cols;
        if (column_order) split_cols = r.cols > 1 || r.rows <= 1;
        else split_cols = !(r.rows > 1) && r.cols > 1;
        std::int64_t& start = split_cols ? r.col : r.row;
        std::int64_t& extent = split_cols ? r.cols : r.rows;
        const std::int64_t left = split_cols == column_order ? split_point(group, start, extent) : extent / 2;
        if (right) {
            start += left;
            extent -= left;
        } else {
            extent = left;
        }
    }
    return r;
}

void parallel_zip_for_each(ThreadPool& pool, const ZipGroup& group, std::int64_t grain, PieceFn fn,
                           void* context, Scratch& caller_scratch) {
    const std::int64_t total = group.rows * group.cols;
    if (total == 0) return;
    grain = std::max<std::int64_t>(grain, 1);
    const std::int64_t wanted = std::min(total / grain, kPiecesPerThread * static_cast<std::int64_t>(pool.size()));
    if (wanted < 2 || pool.size() < 2) {
        FpEnvGuard fp_env;
        fn(context, Rect{0, 0, group.rows, group.cols}, caller_scratch);
        return;
    }
    PieceJob piece_job{group, static_cast<unsigned>(std::bit_width(static_cast<std::uint64_t>(wanted)) - 1), fn,
                       context};
    ThreadPool::Job job;
    job.run_piece = run_piece;
    job.context = &piece_job;
    job.piece_count = 1u << piece_job.depth;
    pool.run(job, caller_scratch);
}

}  // namespace vexlora
