// Which bands collide in a hashed-way L1 cache, measured on a sample of their elements: whether
// two lines collide depends on the carries of adding the bands' distance, so on the element.
#include "kernels/line_alias.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(VEXLORA_X86)
#include <cpuid.h>
#endif

namespace vexlora {
namespace {

// Elements sampled per pair of views, and the colliding share from which a pair counts as colliding:
// between the shares that common placements give (NumPy's for 8192 x 8192 bands is about a half,
// for 8192 x 4096 an eighth), so that one placement is not judged both ways by chance.
constexpr int kSamples = 64;
constexpr double kCollidingShare = 3.0 / 16;
// Below this many elements a call takes a few microseconds, of which sampling would take a tenth,
// and the bands stay in the L2 cache.
constexpr std::int64_t kMinElements = 1 << 16;

// Linear-address bits that the way hash of Zen cores folds together, one pair per hash bit; bits 6
// to 11 pick the set, and no bit above 27 takes part.
constexpr int kHashPairs[8][2] = {{12, 27}, {13, 26}, {14, 25}, {15, 20}, {16, 21}, {17, 22}, {18, 23}, {19, 24}};

bool detect_hashed_ways() {
#if defined(VEXLORA_X86)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return false;
    char vendor[12];
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
    if (std::memcmp(vendor, "AuthenticAMD", 12) != 0) return false;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const unsigned base_family = (eax >> 8) & 0xF;
    const unsigned family = base_family == 0xF ? base_family + ((eax >> 20) & 0xFF) : base_family;
    return family >= 0x17;  // Zen and later
#else
    return false;
#endif
}

// The hash as the pairs define it.
constexpr unsigned paired_hash(std::uintptr_t address) {
    unsigned hash = 0;
    for (int k = 0; k < 8; ++k) {
        hash |= static_cast<unsigned>(((address >> kHashPairs[k][0]) ^ (address >> kHashPairs[k][1])) & 1) << k;
    }
    return hash;
}

// The same with four shifts: bit k of the hash sits at address bit 12 + k, folded with its
// partner 15, 13 or 11 bits above it for the first three and 5 above for the other five.
constexpr unsigned folded_hash(std::uintptr_t address) {
    const std::uintptr_t folded = ((address ^ (address >> 15)) & (std::uintptr_t{1} << 12)) |
                                  ((address ^ (address >> 13)) & (std::uintptr_t{1} << 13)) |
                                  ((address ^ (address >> 11)) & (std::uintptr_t{1} << 14)) |
                                  ((address ^ (address >> 5)) & (std::uintptr_t{0x1F} << 15));
    return static_cast<unsigned>(folded >> 12);
}

// Both are linear over the address bits, so agreeing on every single bit means agreeing everywhere.
constexpr bool hashes_agree() {
    for (int bit = 0; bit < 48; ++bit) {
        if (paired_hash(std::uintptr_t{1} << bit) != folded_hash(std::uintptr_t{1} << bit)) return false;
    }
    return true;
}
static_assert(hashes_agree(), "the shifted form folds the same pairs");

// A 64-bit random word as an index below n, by its high bits where n fits in 32 bits.
std::int64_t scaled(std::uint64_t word, std::int64_t n) {
    const auto un = static_cast<std::uint64_t>(n);
    return static_cast<std::int64_t>(un <= 0xFFFFFFFFu ? ((word >> 32) * un) >> 32 : word % un);
}

// The multiple of 4 KiB nearest to `distance`: lines that far apart share their set.
std::int64_t nearest_page_multiple(std::int64_t distance) { return ((distance + 2048) >> 12) << 12; }

// Whether the line of b in a's set nearest to b's element, `distance` bytes past a's, lies within
// `reach` (and a line) of it: then the block that reads a's line reads that line of b too.
bool within_reach(std::int64_t distance, std::int64_t reach) {
    const std::int64_t off = distance - nearest_page_multiple(distance);
    return off <= reach + 64 && off >= -reach - 64;
}

}  // namespace

bool l1_ways_hashed() {
    static const bool hashed = detect_hashed_ways();
    return hashed;
}

bool collisions_matter(std::int64_t elements) { return elements >= kMinElements && l1_ways_hashed(); }

unsigned l1_way_hash(std::uintptr_t address) { return folded_hash(address); }

double colliding_share(std::uintptr_t a_origin, const ViewGeometry& a, std::uintptr_t b_origin,
                       const ViewGeometry& b, std::int64_t reach) {
    const std::int64_t rows = std::min(a.rows, b.rows), cols = std::min(a.cols, b.cols);
    if (rows * cols < kMinElements) return 0.0;
    // At a fixed distance, one check for all elements.
    const bool fixed = a.row_stride == b.row_stride && a.col_stride == b.col_stride;
    if (fixed && !within_reach(static_cast<std::int64_t>(b_origin - a_origin), reach)) return 0.0;
    // A fixed pseudo-random walk over the elements, so that a result never depends on the run.
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    int colliding = 0;
    for (int s = 0; s < kSamples; ++s) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::int64_t i = scaled(state, rows), j = scaled(state << 32 | state >> 32, cols);
        const std::uintptr_t pa = a_origin + static_cast<std::uintptr_t>(i * a.row_stride + j * a.col_stride);
        const std::uintptr_t pb = b_origin + static_cast<std::uintptr_t>(i * b.row_stride + j * b.col_stride);
        const auto distance = static_cast<std::int64_t>(pb - pa);
        const std::int64_t page_multiple = nearest_page_multiple(distance);
        if (page_multiple == 0 || !within_reach(distance, reach)) continue;  // the same lines, or none in reach
        colliding += l1_way_hash(pa) == l1_way_hash(pa + static_cast<std::uintptr_t>(page_multiple)) ? 1 : 0;
    }
    return static_cast<double>(colliding) / kSamples;
}

bool avoid_colliding_reads(std::span<const std::uintptr_t> origins, std::span<const ViewGeometry> views,
                           std::span<const std::uint32_t> reads, std::span<std::uint8_t> direct, std::int64_t reach,
                           std::size_t max_taken, bool assume_hashed) {
    if (!assume_hashed && !l1_ways_hashed()) return false;
    // The pairs that matter: both read in place, one of them again after the other.
    struct Pair {
        std::size_t p, q;
    };
    std::vector<Pair> pairs;
    const std::size_t n = origins.size();
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t q = p + 1; q < n; ++q) {
            if (!direct[p] || !direct[q] || reads[p] == 0 || reads[q] == 0) continue;
            if (std::max(reads[p], reads[q]) < 2) continue;
            if (colliding_share(origins[p], views[p], origins[q], views[q], reach) < kCollidingShare) continue;
            pairs.push_back({p, q});
        }
    }
    // Reading either band of a pair once per block settles it, as that read comes before the
    // others. Take first the band in most pairs, then the one read most often (a slot makes its
    // repeated reads cheapest), then the later one.
    if (pairs.empty()) return false;
    std::vector<std::uint32_t> partners(n);
    bool took = false;
    for (; !pairs.empty() && max_taken > 0; --max_taken) {
        std::fill(partners.begin(), partners.end(), 0u);
        for (const Pair& pair : pairs) {
            ++partners[pair.p];
            ++partners[pair.q];
        }
        std::size_t best = 0;
        for (std::size_t k = 1; k < n; ++k) {
            if (partners[k] > partners[best] || (partners[k] == partners[best] && reads[k] >= reads[best])) best = k;
        }
        direct[best] = 0;
        took = true;
        std::erase_if(pairs, [best](const Pair& pair) { return pair.p == best || pair.q == best; });
    }
    return took;
}

}  // namespace vexlora
