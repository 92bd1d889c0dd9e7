// Which band placements collide in a hashed-way L1 cache, and which bands a run then reads once
// per block: known colliding and harmless distances, and the choice among two or three bands.
#include "kernels/line_alias.hpp"

#include <cstdio>
#include <cstdint>
#include <vector>

namespace {

using vexlora::ViewGeometry;

int failures = 0;

void expect(bool ok, const char* what) {
    if (!ok) {
        ++failures;
        std::printf("failed: %s\n", what);
    }
}

constexpr std::uintptr_t kBase = (std::uintptr_t{1} << 40) + 16;  // a large array's usual offset into its page
constexpr std::uintptr_t kMiB = std::uintptr_t{1} << 20;

// 8192 x 8192 uint16 in C order, and the same in Fortran order.
constexpr ViewGeometry kC{8192, 8192, 16384, 2, 2};
constexpr ViewGeometry kF{8192, 8192, 2, 16384, 2};
constexpr ViewGeometry kSmall{2048, 2048, 4096, 2, 2};

double share(std::uintptr_t distance, const ViewGeometry& g = kC) {
    return vexlora::colliding_share(kBase, g, kBase + distance, g);
}

std::vector<std::uint8_t> gathered(std::vector<std::uintptr_t> origins, std::vector<std::uint32_t> reads) {
    std::vector<ViewGeometry> views(origins.size(), kC);
    std::vector<std::uint8_t> direct(origins.size(), 1);
    vexlora::avoid_colliding_reads(origins, views, reads, direct, true);
    std::vector<std::uint8_t> once(direct.size());
    for (std::size_t k = 0; k < direct.size(); ++k) once[k] = direct[k] ? 0 : 1;
    return once;
}

}  // namespace

int main() {
    // Each hash bit folds two address bits: moving both leaves the hash, moving one changes it.
    const std::uintptr_t line = kBase & ~std::uintptr_t{0xFFFFFFF};  // bits 12 to 27 clear: no carries
    const int pairs[8][2] = {{12, 27}, {13, 26}, {14, 25}, {15, 20}, {16, 21}, {17, 22}, {18, 23}, {19, 24}};
    for (const auto& p : pairs) {
        const std::uintptr_t both = (std::uintptr_t{1} << p[0]) | (std::uintptr_t{1} << p[1]);
        expect(vexlora::l1_way_hash(line) == vexlora::l1_way_hash(line + both), "a folded pair keeps the hash");
        expect(vexlora::l1_way_hash(line) != vexlora::l1_way_hash(line + (std::uintptr_t{1} << p[0])),
               "one bit of a pair changes the hash");
    }
    expect(vexlora::l1_way_hash(line) == vexlora::l1_way_hash(line + (std::uintptr_t{1} << 28)),
           "bits above 27 take no part");

    // NumPy's distance between two fresh 8192 x 8192 uint16 bands collides; nearby ones do not.
    expect(share(128 * kMiB + 4096) >= 0.25, "128 MiB + 4 KiB collides");
    expect(share(128 * kMiB + 4096, kF) >= 0.25, "in Fortran order too");
    expect(share(128 * kMiB + 8192) == 0.0, "128 MiB + 8 KiB does not");
    expect(share(256 * kMiB + 4096) == 0.0, "256 MiB + 4 KiB does not");
    expect(share(128 * kMiB + 4096 + 64 * 7) == 0.0, "lines in other sets do not");
    expect(share(128 * kMiB + 4096 - 32) >= 0.125, "half a line short still collides");
    expect(share(8 * kMiB + 256 * 1024, kSmall) >= 0.25, "8 MiB + 256 KiB collides");
    expect(share(8 * kMiB + 4096, kSmall) == 0.0, "8 MiB + 4 KiB does not");

    const std::uintptr_t a = kBase, b = a + 128 * kMiB + 4096, c = b + 128 * kMiB + 4096;
    expect(gathered({a, b}, {2, 2}) == std::vector<std::uint8_t>{0, 1}, "two bands read twice: one read once");
    expect(gathered({a, b}, {3, 2}) == std::vector<std::uint8_t>{1, 0}, "the band read more often is read once");
    expect(gathered({a, b}, {1, 1}) == std::vector<std::uint8_t>{0, 0}, "bands read once each stay direct");
    expect(gathered({a, b}, {2, 0}) == std::vector<std::uint8_t>{0, 0}, "an unread band does not count");
    expect(gathered({a, b, c}, {2, 2, 1}) == std::vector<std::uint8_t>{0, 1, 0},
           "the middle of three bands settles both collisions");
    expect(gathered({a, a + 64 * kMiB, a + 200 * kMiB}, {2, 2, 2}) == std::vector<std::uint8_t>{0, 0, 0},
           "bands apart stay direct");
    {
        std::vector<std::uint8_t> direct{1, 1};
        const std::vector<std::uintptr_t> origins{a, b};
        const std::vector<ViewGeometry> views{kC, kC};
        const std::vector<std::uint32_t> reads{2, 2};
        vexlora::avoid_colliding_reads(origins, views, reads, direct, false);
        const bool expected_direct = !vexlora::l1_ways_hashed();
        expect((direct[1] != 0) == expected_direct, "only processors with hashed ways change the reads");
    }

    if (failures == 0) std::printf("line alias: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
