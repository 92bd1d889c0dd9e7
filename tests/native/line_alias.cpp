// Which band placements collide in a hashed-way L1 cache, and which bands a run then reads once
// per block: known colliding and harmless distances, and the choice among several bands.
#include "kernels/line_alias.hpp"

#include <cstdint>
#include <cstdio>
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

// 8192 x 8192 uint16 in C order, the same in Fortran order, and 2048 x 2048 in C order.
constexpr ViewGeometry kC{8192, 8192, 16384, 2, 2};
constexpr ViewGeometry kF{8192, 8192, 2, 16384, 2};
constexpr ViewGeometry kSmall{2048, 2048, 4096, 2, 2};

// A block reads 512 elements of a band: 1 KiB at unit stride.
constexpr std::int64_t kReach = 1024;

double share(std::uintptr_t distance, const ViewGeometry& g = kC) {
    return vexlora::colliding_share(kBase, g, kBase + distance, g, kReach);
}

// 1 for each band taken out of the direct reads.
std::vector<std::uint8_t> taken(std::vector<std::uintptr_t> origins, std::vector<std::uint32_t> reads,
                                std::size_t max_taken = 16, bool assume_hashed = true) {
    std::vector<ViewGeometry> views(origins.size(), kC);
    std::vector<std::uint8_t> direct(origins.size(), 1);
    vexlora::avoid_colliding_reads(origins, views, reads, direct, kReach, max_taken, assume_hashed);
    std::vector<std::uint8_t> once(direct.size());
    for (std::size_t k = 0; k < direct.size(); ++k) once[k] = direct[k] ? 0 : 1;
    return once;
}

using Taken = std::vector<std::uint8_t>;

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
    expect(share(8 * kMiB + 4096, kSmall) == 0.0, "8 MiB + 4 KiB does not");
    expect(share(8 * kMiB + 256 * 1024, kSmall) >= 0.25, "8 MiB + 256 KiB collides");
    // Lines of other elements read in the same block count too.
    expect(share(128 * kMiB + 4096 + 32) >= 0.25, "half a line past collides");
    expect(share(128 * kMiB + 4096 - 32) >= 0.25, "half a line short collides");
    expect(share(128 * kMiB + 4096 + 512) >= 0.25, "half a block past collides");
    expect(share(128 * kMiB + 4096 + 1536) == 0.0, "a block and a half past does not");
    expect(share(0) == 0.0 && share(64) == 0.0, "a band collides neither with itself nor its next line");

    // The band read more often is the one to read once; one band per colliding pair is enough.
    const std::uintptr_t a = kBase, b = a + 128 * kMiB + 4096, c = b + 128 * kMiB + 4096;
    expect(taken({a, b}, {2, 2}) == Taken{0, 1}, "two bands read twice: the later is read once");
    expect(taken({a, b}, {3, 2}) == Taken{1, 0}, "the band read more often is read once");
    expect(taken({a, b}, {1, 2}) == Taken{0, 1}, "also when it comes second");
    expect(taken({a, b}, {1, 1}) == Taken{0, 0}, "bands read once each stay direct");
    expect(taken({a, b}, {2, 0}) == Taken{0, 0}, "an unread band does not count");
    expect(taken({a, b, c}, {3, 2, 2}) == Taken{0, 1, 0}, "the band colliding with two others settles both");
    const std::uintptr_t d = a + 8 * kMiB + 2048, e = d + 128 * kMiB + 4096;  // apart from a and b
    expect(taken({a, b, d, e}, {2, 2, 2, 2}) == Taken{0, 1, 0, 1}, "two pairs: one band of each");
    expect(taken({a, b, d, e}, {2, 2, 2, 2}, 1) == Taken{0, 0, 0, 1}, "no more bands than slots left");
    expect(taken({a, a + 64 * kMiB, a + 200 * kMiB}, {2, 2, 2}) == Taken{0, 0, 0}, "bands apart stay direct");
    expect(taken({a, b}, {2, 2}, 16, false) == (vexlora::l1_ways_hashed() ? Taken{0, 1} : Taken{0, 0}),
           "only processors with hashed ways change the reads");

    if (failures == 0) std::printf("line alias: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
