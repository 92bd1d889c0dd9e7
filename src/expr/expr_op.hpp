// OpCode and ExprOp: one compiled band-math instruction, and the facts each op code carries.
// Everything here is derived from the instruction table in op_table.hpp.
#pragma once

#include "expr/op_table.hpp"

#include <cstdint>
#include <string_view>

namespace vexlora {

enum class OpCode : std::uint8_t {
#define VEXLORA_OP_ENUM(name, text, key, arity, below_first) name,
    VEXLORA_EXPR_OPS(VEXLORA_OP_ENUM)
#undef VEXLORA_OP_ENUM
};

struct OpInfo {
    std::string_view name;
    const char* operand_key;  // "index", "value" or null
    unsigned arity;           // values taken from the stack
    bool below_first;         // bounds-checks the entry below the top first
};

inline constexpr OpInfo kOpInfo[] = {
#define VEXLORA_OP_INFO(name, text, key, arity, below_first) {text, key, arity, below_first},
    VEXLORA_EXPR_OPS(VEXLORA_OP_INFO)
#undef VEXLORA_OP_INFO
};

inline constexpr std::size_t kOpCount = sizeof(kOpInfo) / sizeof(kOpInfo[0]);

constexpr const OpInfo& op_info(OpCode op) { return kOpInfo[static_cast<std::size_t>(op)]; }

// One instruction: the op code and, for the two push ops, its operand.
struct ExprOp {
    OpCode op;
    float scalar;             // "push_scalar" only
    std::uint64_t band_index; // "push_band" only
};

// The op whose "type" text is exactly `name`, or false.
inline bool find_op(std::string_view name, OpCode& out) {
    for (std::size_t i = 0; i < kOpCount; ++i) {
        if (kOpInfo[i].name == name) {
            out = static_cast<OpCode>(i);
            return true;
        }
    }
    return false;
}

}  // namespace vexlora
