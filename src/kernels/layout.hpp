// LayoutFlags and tendency: how a view lies in memory, and which traversal order suits a group of views.
// The flat run, the split axis and the loop order of the kernel frame are all derived from these.
#pragma once

#include "kernels/strided_view.hpp"

#include <cstdint>

namespace vexlora {

enum LayoutFlags : unsigned {
    kNoLayout = 0,
    ROW_CONTIGUOUS = 1u << 0,
    COLUMN_CONTIGUOUS = 1u << 1,
    ROW_PREFERRED = 1u << 2,
    COLUMN_PREFERRED = 1u << 3,
    kAllLayoutFlags = ROW_CONTIGUOUS | COLUMN_CONTIGUOUS | ROW_PREFERRED | COLUMN_PREFERRED,
};

struct ViewLayout {
    unsigned flags;
    int tendency;  // > 0 favours rows as the inner loop, < 0 columns
};

ViewLayout classify_view(const ViewGeometry& g);

}  // namespace vexlora
