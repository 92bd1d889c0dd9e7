// Classification of one view into LayoutFlags and its tendency, and the byte-range
// and self-overlap facts of views used by the borrow and overlap checks.
#include "kernels/layout.hpp"

#include <algorithm>
#include <utility>

namespace vexlora {
namespace {

// Contiguous when every axis of extent > 1, walked innermost first, has the stride of the
// elements already walked. `last_first` walks columns before rows (row-major order).
bool is_contiguous(const ViewGeometry& g, bool last_first) {
    if (g.rows == 0 || g.cols == 0) return true;
    const std::int64_t extents[2] = {g.rows, g.cols};
    const std::int64_t strides[2] = {g.row_stride, g.col_stride};
    std::int64_t expected = g.elem_size;
    for (int k = 0; k < 2; ++k) {
        const int axis = last_first ? 1 - k : k;
        if (extents[axis] == 1) continue;
        if (strides[axis] != expected) return false;
        expected *= extents[axis];
    }
    return true;
}

}  // namespace

ViewLayout classify_view(const ViewGeometry& g) {
    const bool row_contiguous = is_contiguous(g, true);
    unsigned flags = kNoLayout;
    if (row_contiguous && (g.rows <= 1 || g.cols <= 1)) {
        flags = kAllLayoutFlags;
    } else if (row_contiguous) {
        flags = ROW_CONTIGUOUS | ROW_PREFERRED;
    } else if (is_contiguous(g, false)) {
        flags = COLUMN_CONTIGUOUS | COLUMN_PREFERRED;
    } else if (g.rows > 1 && g.row_stride == g.elem_size) {
        flags = COLUMN_PREFERRED;
    } else if (g.cols > 1 && g.col_stride == g.elem_size) {
        flags = ROW_PREFERRED;
    }
    const int tendency = int((flags & ROW_CONTIGUOUS) != 0) - int((flags & COLUMN_CONTIGUOUS) != 0) +
                         int((flags & ROW_PREFERRED) != 0) - int((flags & COLUMN_PREFERRED) != 0);
    return {flags, tendency};
}

ByteRange byte_range(std::uintptr_t origin, const ViewGeometry& g) {
    if (g.rows == 0 || g.cols == 0) return {origin, origin};
    // Unsigned arithmetic: negative terms wrap around to the addresses below the origin.
    std::uintptr_t begin = origin, end = origin + static_cast<std::uintptr_t>(g.elem_size);
    for (const auto& [extent, stride] : {std::pair{g.rows, g.row_stride}, std::pair{g.cols, g.col_stride}}) {
        const std::uintptr_t term = static_cast<std::uintptr_t>(extent - 1) * static_cast<std::uintptr_t>(stride);
        (stride < 0 ? begin : end) += term;
    }
    return {begin, end};
}

bool may_self_overlap(const ViewGeometry& g) {
    struct Axis {
        std::uint64_t extent, stride;
    };
    Axis axes[2];
    int n = 0;
    if (g.rows > 1) axes[n++] = {static_cast<std::uint64_t>(g.rows), stride_magnitude(g.row_stride)};
    if (g.cols > 1) axes[n++] = {static_cast<std::uint64_t>(g.cols), stride_magnitude(g.col_stride)};
    if (n == 2 && axes[1].stride < axes[0].stride) std::swap(axes[0], axes[1]);
    // Positions never collide when each axis steps past everything the smaller axes span.
    std::uint64_t span = static_cast<std::uint64_t>(g.elem_size);
    for (int k = 0; k < n; ++k) {
        if (axes[k].stride < span) return true;
        std::uint64_t reach = 0;
        if (__builtin_mul_overflow(axes[k].stride, axes[k].extent - 1, &reach) ||
            __builtin_add_overflow(reach, span, &span)) {
            return true;
        }
    }
    return false;
}

}  // namespace vexlora
