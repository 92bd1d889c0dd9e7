// The block form of a band-math program: steps that each run over a block of elements. A chain step
// carries one value through a run of ops in registers, reading slots, band rows, constants or the
// values of chains it evaluates alongside.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlora {

// Elements per block; one slot holds one block of float32 values.
inline constexpr std::int64_t kBlock = 512;
inline constexpr std::int64_t kBlockBytes = kBlock * 4;
// A step's destination that is the output itself rather than a slot.
inline constexpr std::int32_t kDstOut = -1;

// Held in registers (see Step): Side0 and Side1, the value of a chain's first or second side
// chain; Pre0 and Pre1, its first or second prefetched band.
enum class OperandKind : std::uint8_t { Slot, Band, Const, Side0, Side1, Pre0, Pre1 };
inline constexpr int kOperandKinds = 7;

struct Operand {
    OperandKind kind;
    std::uint32_t index;  // slot number, or position in the call's list of read bands
    float value;          // Const only
};

struct StagedBlock;

// A band that steps read: element [i, j] at origin + i * row_stride + j * col_stride, and
// consecutive elements of a block `run_stride` bytes apart; or, when `staged` >= 0, staged band
// `staged` of the walk's current block (at unit stride).
struct BandRead {
    const std::byte* origin;
    std::int64_t row_stride;
    std::int64_t col_stride;
    std::int64_t run_stride;
    std::int32_t staged;
};

// Where one block's data lies: the block starts at element [row, col] plus `offset` steps along
// the run; the output's first element and stride; the block's length n; where staged bands lie.
struct BlockContext {
    std::byte* slots;
    const BandRead* bands;
    std::int64_t row;
    std::int64_t col;
    std::int64_t offset;
    std::byte* out;
    std::int64_t out_stride;
    std::int64_t n;
    const StagedBlock* staged;
};

// What a link does to the chain's running value: a two-operand op with the link's operand as the
// other input, or a one-operand op. Codes follow the instruction table's order from "add".
enum class LinkOp : std::uint8_t { Add, Sub, Mul, Div, Pow, Neg, Abs, Sqrt };

// Link codes the chain loop dispatches on: one per add/sub/mul/div, operand kind and side of the
// running value; then pow with the running value below and on top (any operand kind); then the
// one-operand ops.
inline constexpr int kLinkPow = 4 * kOperandKinds * 2;
inline constexpr int kLinkCodes = kLinkPow + 5;
static_assert(kLinkCodes <= 256, "a link code fits its byte");

struct Link {
    std::uint8_t code;
    Operand operand;  // two-operand ops only
};

constexpr std::uint8_t link_code(LinkOp op, OperandKind kind, bool value_on_top) {
    const int o = static_cast<int>(op);
    const int pow = static_cast<int>(LinkOp::Pow);
    if (o == pow) return static_cast<std::uint8_t>(kLinkPow + (value_on_top ? 1 : 0));
    if (o > pow) return static_cast<std::uint8_t>(kLinkPow + 1 + o - pow);
    return static_cast<std::uint8_t>((o * kOperandKinds + static_cast<int>(kind)) * 2 + (value_on_top ? 1 : 0));
}

// Slots: the value stack's entries first, then one per band a program does not read in place, gathered
// once per block (rather than at every push) so that chains read it as a slot.
inline constexpr std::uint32_t kStackSlots = 64;
inline constexpr std::uint32_t kGatheredSlots = 16;

// Links per chain; a longer run of ops is split into chains that pass the value through a slot.
inline constexpr std::uint32_t kMaxChainLinks = 32;

struct Step;
using StepFn = void (*)(const Step& step, const BlockContext& ctx);

// Side chains per chain: chains whose values a chain's links take straight from registers, each
// evaluated with it, element group by element group, instead of passing through a slot.
inline constexpr std::uint32_t kMaxSides = 2;
// Prefetched bands per chain: bands that a chain and its side chains read more than once, read
// and converted once per element group and then taken from registers.
inline constexpr std::uint32_t kMaxPrefetched = 2;

// A chain starts from operand `a`, applies its links in order with the running value kept in
// registers, and stores the result once to `dst`. Its side chains (which read only bands,
// constants and gathered bands, have no sides of their own, and whose `fn` is null and `dst`
// unused) are evaluated first, for the same elements, after its prefetched bands (positions in
// the call's list of read bands). Gather and store-out steps use `a` alone.
struct Step {
    StepFn fn;
    std::int32_t dst;  // slot number or kDstOut
    Operand a;
    const Link* links;
    std::uint32_t link_count;
    const Step* sides;
    std::uint32_t side_count;
    std::uint32_t prefetched[kMaxPrefetched];
    std::uint32_t prefetched_count;
};

// Step functions of one instruction set. `chain[s][p][t]` runs a chain with s side chains and p
// prefetched bands, with ordinary stores (t = 0) or non-temporal stores (t = 1, only for a chain
// that writes the output); null where the set has too few registers to hold them.
struct ExprKernels {
    StepFn chain[kMaxSides + 1][kMaxPrefetched + 1][2];
    StepFn gather_band;  // band (any stride) -> dst
    StepFn store_out;    // slot -> output, any stride
};

}  // namespace vexlora
