// check_program: what a band-math program does regardless of the element it runs for.
// The stack depth before each instruction depends on the program alone, so its stack and band-index failures do too.
#pragma once

#include "expr/expr_op.hpp"

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vexlora {

inline constexpr std::uint64_t kStackSize = 64;

struct ProgramCheck {
    // The first failure that every element meets, with its message.
    std::optional<std::string> failure;
    // Bands pushed before that failure (or by the whole program), in program order: every element
    // reads these and fails with "ndarray: index out of bounds" outside any of them.
    std::pmr::vector<std::uint64_t> reached_bands;

    explicit ProgramCheck(std::pmr::memory_resource* memory) : reached_bands(memory) {}
};

// Vectors of the result are allocated from `memory`.
ProgramCheck check_program(std::span<const ExprOp> ops, std::uint64_t band_count, std::pmr::memory_resource* memory);

}  // namespace vexlora
