// The pieces of a split cover the index space exactly once, for every shape, split quantum and
// phase; where a quantum applies, a wide split falls on a tile boundary and its halves stay close to even.
#include "kernels/parallel_zip.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using vexlora::Rect;
using vexlora::ZipGroup;

int failures = 0;

void report(const char* what, const ZipGroup& g, unsigned depth) {
    if (++failures <= 20)
        std::printf("%s: rows %lld cols %lld quantum %lld phase %lld tendency %d depth %u\n", what,
                    static_cast<long long>(g.rows), static_cast<long long>(g.cols),
                    static_cast<long long>(g.split_quantum), static_cast<long long>(g.split_phase), g.tendency, depth);
}

void check_cover(const ZipGroup& g, unsigned depth) {
    std::vector<Rect> pieces;
    std::int64_t area = 0;
    for (std::uint32_t i = 0; i < (1u << depth); ++i) {
        const Rect r = vexlora::piece_rect(g, depth, i);
        if (r.rows < 0 || r.cols < 0) return report("negative extent", g, depth);
        if (r.rows == 0 || r.cols == 0) continue;
        if (r.row < 0 || r.col < 0 || r.row + r.rows > g.rows || r.col + r.cols > g.cols)
            return report("outside the group", g, depth);
        for (const Rect& s : pieces) {
            if (r.row < s.row + s.rows && s.row < r.row + r.rows && r.col < s.col + s.cols && s.col < r.col + r.cols)
                return report("overlap", g, depth);
        }
        area += r.rows * r.cols;
        pieces.push_back(r);
    }
    if (area != g.rows * g.cols) report("area not covered", g, depth);
}

}  // namespace

int main() {
    std::vector<std::int64_t> extents;
    for (std::int64_t e = 0; e <= 140; ++e) extents.push_back(e);
    for (std::int64_t e : {191, 192, 193, 255, 256, 257, 1000, 2047, 2049, 100003}) extents.push_back(e);
    const std::int64_t narrow[] = {1, 2, 3, 17, 1000};
    for (const std::int64_t quantum : {1, 3, 64}) {
        for (std::int64_t phase = 0; phase < quantum; ++phase) {
            for (const int tendency : {-1, 1}) {
                for (const std::int64_t e : extents) {
                    for (const std::int64_t n : narrow) {
                        for (unsigned depth = 0; depth <= 6; ++depth) {
                            check_cover(ZipGroup{n, e, vexlora::kNoLayout, tendency, quantum, phase}, depth);
                            check_cover(ZipGroup{e, n, vexlora::kNoLayout, tendency, quantum, phase}, depth);
                        }
                    }
                    // One split along the quantum's axis: neither part below three eighths of the extent
                    // (less one for rounding), whether or not a tile boundary lies near the middle.
                    if (quantum > 1 && e >= 2) {
                        const ZipGroup g{1000, e, vexlora::kNoLayout, -1, quantum, phase};
                        const std::int64_t left = vexlora::piece_rect(g, 1, 0).cols;
                        if (left < 1 || left >= e) report("empty part", g, 1);
                        if (8 * (std::min(left, e - left) + 1) < 3 * e) report("uneven split", g, 1);
                        // Wide enough that a boundary lies near the middle: the split falls on it.
                        if (e >= 4 * quantum && ((left - phase) % quantum + quantum) % quantum != 0)
                            report("split off the tiles", g, 1);
                    }
                }
            }
        }
    }
    std::printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
