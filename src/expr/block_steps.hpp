// The block form of a band-math program: steps that each run one op over a block of elements.
// Steps read stack slots, band rows or constants and write a slot or the output directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlora {

// Elements per block; one slot holds one block of float32 values.
inline constexpr std::int64_t kBlock = 512;
inline constexpr std::int64_t kBlockBytes = kBlock * 4;
// A step's destination that is the output itself rather than a slot.
inline constexpr std::int32_t kDstOut = -1;

enum class OperandKind : std::uint8_t { Slot, Band, Const };
inline constexpr int kOperandKinds = 3;

struct Operand {
    OperandKind kind;
    std::uint32_t index;  // slot number, or position in the call's list of read bands
    float value;          // Const only
};

// A band that steps read: element [i, j] at origin + i * row_stride + j * col_stride, and
// consecutive elements of a block `run_stride` bytes apart.
struct BandRead {
    const std::byte* origin;
    std::int64_t row_stride;
    std::int64_t col_stride;
    std::int64_t run_stride;
};

// Where one block's data lies: the block starts at element [row, col] plus `offset` steps along
// the run; the output's first element and stride; the block's length n.
struct BlockContext {
    std::byte* slots;
    const BandRead* bands;
    std::int64_t row;
    std::int64_t col;
    std::int64_t offset;
    std::byte* out;
    std::int64_t out_stride;
    std::int64_t n;
};

struct Step;
using StepFn = void (*)(const Step& step, const BlockContext& ctx);

struct Step {
    StepFn fn;
    std::int32_t dst;  // slot number or kDstOut
    Operand a;         // the entry below the top for two-operand ops
    Operand b;         // the top for two-operand ops
};

// Step functions of one instruction set. The last index of the first three tables selects
// ordinary stores (0) or non-temporal stores (1), used only by a step that writes the output.
struct ExprKernels {
    StepFn binary[5][kOperandKinds][kOperandKinds][2];  // add, sub, mul, div, pow
    StepFn unary[3][kOperandKinds][2];                  // neg, abs, sqrt
    StepFn copy[kOperandKinds][2];                      // slot, unit-stride band or constant -> dst
    StepFn gather_band;  // strided band -> dst
    StepFn store_out;    // slot -> output, any stride
};

}  // namespace vexlora
