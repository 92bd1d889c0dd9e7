// Which bands collide in a hashed-way L1 cache, measured on a sample of their elements.
// NumPy places equal large bands a fixed distance apart, so a collision, once there, is everywhere.
#include "kernels/line_alias.hpp"

#include <algorithm>
#include <cstring>

#if defined(VEXLORA_X86)
#include <cpuid.h>
#endif

namespace vexlora {
namespace {

// Elements sampled per pair of views, and the colliding share from which a pair counts as colliding.
constexpr int kSamples = 32;
constexpr double kCollidingShare = 1.0 / 8;
// Below this many elements the bands stay in the L2 cache, where a miss in L1 costs little, and
// sampling would cost more than it could save.
constexpr std::int64_t kMinElements = 1 << 16;

// Linear-address bits that the way hash of Zen cores folds together, one pair per hash bit; the
// bits below 12 pick the set, and none above 27 takes part.
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

// A 64-bit random word as an index below n (by its high bits, without a division).
std::int64_t scaled(std::uint64_t word, std::int64_t n) {
    return static_cast<std::int64_t>((static_cast<unsigned __int128>(word) * static_cast<std::uint64_t>(n)) >> 64);
}

bool same_strides(const ViewGeometry& a, const ViewGeometry& b) {
    return a.row_stride == b.row_stride && a.col_stride == b.col_stride;
}

bool lines_collide(std::uintptr_t a, std::uintptr_t b) {
    const std::uintptr_t line_a = a >> 6, line_b = b >> 6;
    return line_a != line_b && (line_a & 63) == (line_b & 63) && l1_way_hash(a) == l1_way_hash(b);
}

}  // namespace

bool l1_ways_hashed() {
    static const bool hashed = detect_hashed_ways();
    return hashed;
}

unsigned l1_way_hash(std::uintptr_t address) { return folded_hash(address); }

double colliding_share(std::uintptr_t a_origin, const ViewGeometry& a, std::uintptr_t b_origin,
                       const ViewGeometry& b) {
    const std::int64_t rows = std::min(a.rows, b.rows), cols = std::min(a.cols, b.cols);
    if (rows * cols < kMinElements) return 0.0;
    if (same_strides(a, b)) {
        // A fixed distance keeps the lines of one element in one set only when it is within a
        // line of a multiple of 4 KiB.
        const std::uintptr_t phase = (b_origin - a_origin) & 4095;
        if (phase >= 64 && phase <= 4096 - 64) return 0.0;
    }
    // A fixed pseudo-random walk over the elements, so that a result never depends on the run.
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    int colliding = 0;
    for (int s = 0; s < kSamples; ++s) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::int64_t i = scaled(state, rows), j = scaled(state << 32 | state >> 32, cols);
        const std::uintptr_t pa = a_origin + static_cast<std::uintptr_t>(i * a.row_stride + j * a.col_stride);
        const std::uintptr_t pb = b_origin + static_cast<std::uintptr_t>(i * b.row_stride + j * b.col_stride);
        colliding += lines_collide(pa, pb) ? 1 : 0;
    }
    return static_cast<double>(colliding) / kSamples;
}

void avoid_colliding_reads(std::span<const std::uintptr_t> origins, std::span<const ViewGeometry> views,
                           std::span<const std::uint32_t> reads, std::span<std::uint8_t> direct, bool assume_hashed) {
    if (!assume_hashed && !l1_ways_hashed()) return;
    const std::size_t n = origins.size();
    // Each round takes one band out of the direct reads, so this ends after at most n rounds.
    for (bool changed = true; changed;) {
        changed = false;
        for (std::size_t p = 0; p < n && !changed; ++p) {
            for (std::size_t q = p + 1; q < n && !changed; ++q) {
                if (!direct[p] || !direct[q] || reads[p] == 0 || reads[q] == 0) continue;
                if (std::max(reads[p], reads[q]) < 2) continue;  // neither is read again after the other
                if (colliding_share(origins[p], views[p], origins[q], views[q]) < kCollidingShare) continue;
                // The band read more often is the one whose later reads would miss.
                direct[reads[q] >= reads[p] ? q : p] = 0;
                changed = true;
            }
        }
    }
}

}  // namespace vexlora
