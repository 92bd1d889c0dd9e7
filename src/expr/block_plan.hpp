// build_block_plan: lowering a checked band-math program to block steps.
// Pushes are fused into the ops that use them, dead values are dropped, runs of ops on one value
// become chains, and the final result is written straight to the output when it can be.
#pragma once

#include "expr/block_steps.hpp"
#include "expr/expr_op.hpp"

#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

namespace vexlora {

enum class OutputMode {
    Direct,  // the last step writes the output in place (unit stride along the blocks)
    Store,   // the result is copied from a slot with the output's stride
    Stream,  // as Direct, with non-temporal stores (a unit-stride output much larger than the caches)
};

// Steps point into the plan's own vectors: a plan may be moved (which keeps their buffers) but
// never copied.
struct BlockPlan {
    std::pmr::vector<Step> steps;
    std::pmr::vector<Step> side_steps;           // chains that steps evaluate alongside; steps point into it
    std::pmr::vector<std::uint64_t> read_bands;  // band list position of each band the steps read
    std::pmr::vector<Link> links;                // the chains' links; steps point into it
};

// `band_direct[k]` != 0: band k is read in place by the ops that use it (it has unit stride along
// the blocks); other bands are gathered into a slot once per block (the first kGatheredSlots of
// them; any further ones at each push). The program must have passed check_program.
// Every vector, the plan's included, is allocated from `memory`.
BlockPlan build_block_plan(std::span<const ExprOp> ops, std::span<const std::uint8_t> band_direct,
                           const ExprKernels& kernels, OutputMode mode, std::pmr::memory_resource* memory);

}  // namespace vexlora
