// Strided element views: where the pixel loops find element [i, j] of a borrowed array.
// Strides are kept in bytes so views with odd strides or unaligned data stay addressable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlora {

// Element [i, j] lies at origin + i * row_stride + j * col_stride (bytes); strides may be
// negative (reversed views) or zero (broadcast views).
template <class Byte, std::int64_t ElemSize>
struct StridedView {
    static constexpr std::int64_t elem_size = ElemSize;
    Byte* origin;
    std::int64_t rows;
    std::int64_t cols;
    std::int64_t row_stride;
    std::int64_t col_stride;
};

// A uint16 band, only read.
using BandView = StridedView<const std::byte, 2>;
// A float32 output, written in place.
using OutView = StridedView<std::byte, 4>;

// The geometry of any view, for layout decisions that do not care about the element type.
struct ViewGeometry {
    std::int64_t rows;
    std::int64_t cols;
    std::int64_t row_stride;
    std::int64_t col_stride;
    std::int64_t elem_size;
};

template <class Byte, std::int64_t E>
constexpr ViewGeometry geometry_of(const StridedView<Byte, E>& v) {
    return {v.rows, v.cols, v.row_stride, v.col_stride, E};
}

// The byte range [begin, end) that the elements of a view occupy; empty at the origin for 0 elements.
struct ByteRange {
    std::uintptr_t begin;
    std::uintptr_t end;
};

ByteRange byte_range(std::uintptr_t origin, const ViewGeometry& g);

// |stride| without overflow (a stride may be any 64-bit value in a view made with as_strided).
inline std::uint64_t stride_magnitude(std::int64_t stride) {
    return stride < 0 ? 0 - static_cast<std::uint64_t>(stride) : static_cast<std::uint64_t>(stride);
}

inline bool ranges_overlap(ByteRange a, ByteRange b) { return a.begin < b.end && b.begin < a.end; }

// True when two distinct positions of the view may share a byte (zero or folding strides).
// Conservative: may say true for exotic non-overlapping strides, never false for overlapping ones.
bool may_self_overlap(const ViewGeometry& g);

}  // namespace vexlora
