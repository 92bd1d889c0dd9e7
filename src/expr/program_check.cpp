// The depth simulation of a band-math program, with the exact bounds-check order of each op
// and the unsigned wrap-around of depth - 1 and depth - 2 in its messages.
#include "expr/program_check.hpp"

#include "binding/messages.hpp"

namespace vexlora {
namespace {

std::string out_of_bounds(std::uint64_t len, std::uint64_t index) {
    return msg::format_message(msg::kIndexOutOfBounds, {std::to_string(len), std::to_string(index)});
}

// Checks `depth - offset < 64` with unsigned arithmetic; the message names the wrapped index.
bool stack_check(std::uint64_t depth, std::uint64_t offset, ProgramCheck& result) {
    const std::uint64_t index = depth - offset;
    if (index < kStackSize) return true;
    result.failure = out_of_bounds(kStackSize, index);
    return false;
}

}  // namespace

ProgramCheck check_program(std::span<const ExprOp> ops, std::uint64_t band_count, std::pmr::memory_resource* memory) {
    ProgramCheck result(memory);
    std::uint64_t depth = 0;
    for (const ExprOp& op : ops) {
        const OpInfo& info = op_info(op.op);
        if (info.arity == 0) {
            if (op.op == OpCode::PushBand) {
                if (op.band_index >= band_count) {
                    result.failure = out_of_bounds(band_count, op.band_index);
                    return result;
                }
                // The element's bounds check in this band comes before the depth check.
                result.reached_bands.push_back(op.band_index);
            }
            if (!stack_check(depth, 0, result)) return result;
            ++depth;
        } else {
            const std::uint64_t first = info.below_first ? 2 : 1;
            if (!stack_check(depth, first, result)) return result;
            if (info.arity == 2 && !stack_check(depth, 3 - first, result)) return result;
            depth -= info.arity - 1;
        }
    }
    return result;
}

}  // namespace vexlora
