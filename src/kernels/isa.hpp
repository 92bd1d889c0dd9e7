// IsaTable: the pixel-loop functions of one instruction set, and the choice of the set to use.
// Every variant computes the same bits; wider ones only do more elements per instruction.
#pragma once

#include "expr/block_steps.hpp"

#include <cstddef>
#include <cstdint>

namespace vexlora {

// Runs of a transposing tile that the band-math executor computes side by side: enough to keep the
// caches' stream prefetchers on every band, few enough that they can follow all of them.
inline constexpr int kTransposeAbreast = 4;
// The spectral kernels know their input count: they take as many runs abreast as keep the streams
// read at once within this many (measured: three-input kernels gain 4-5% with two runs, not four).
inline constexpr int kTransposeStreams = 8;

enum class SpectralKind : int { NormalizedDifference, Ratio, AdjustedDifference, Evi };
inline constexpr int kSpectralKinds = 4;

// Scalars of the spectral formulas, as float32 (k = 1 + l, computed once per call).
struct SpectralParams {
    float g, c1, c2, l, k;
};

// One run of n elements: each input's first element and byte stride, the output's likewise.
struct SpectralSegment {
    const std::byte* in[3];
    std::int64_t in_stride[3];
    std::byte* out;
    std::int64_t out_stride;
    std::int64_t n;
    bool stream;  // non-temporal stores for a unit-stride output
};

using SpectralSegmentFn = void (*)(const SpectralSegment& segment, const SpectralParams& params);

// A tile of a spectral call whose output is contiguous across the runs of its inputs: `runs` elements
// along each run (input stride in_stride, output stride out_stride), `width` runs (input stride
// in_across, output stride 4). Results pass through `buffer` (`pitch` bytes per run) on their way
// from the runs to the output's rows.
struct SpectralTile {
    const std::byte* in[3];
    std::int64_t in_stride[3];
    std::int64_t in_across[3];
    std::byte* out;
    std::int64_t out_stride;
    std::int64_t runs;
    std::int64_t width;
    std::byte* buffer;
    std::int64_t pitch;
    bool stream;  // non-temporal stores for the output rows
};

using SpectralTileFn = void (*)(const SpectralTile& tile, const SpectralParams& params);

// Writes a tile of float32 results held column by column (tile[o * pitch + p], p < runs, o < width)
// to an output that is contiguous across o: element (p, o) goes to out + p * out_stride + 4 * o.
using TransposeStoreFn = void (*)(const std::byte* tile, std::int64_t pitch, std::int64_t runs, std::int64_t width,
                                  std::byte* out, std::int64_t out_stride, bool stream);

struct IsaTable {
    const char* name;
    SpectralSegmentFn spectral[kSpectralKinds];
    SpectralTileFn spectral_tile[kSpectralKinds];
    TransposeStoreFn transpose_store;
    ExprKernels expr;
};

namespace baseline { const IsaTable& isa_table(); }
#if defined(VEXLORA_X86)
namespace avx2 { const IsaTable& isa_table(); }
namespace avx512 { const IsaTable& isa_table(); }
#endif

// The widest set this CPU supports, chosen once at first use. The environment variable
// VEXLORA_ISA (baseline, avx2, avx512) can only lower the choice; results are identical.
// Call with the interpreter lock held.
const IsaTable& active_isa();

}  // namespace vexlora
