// Lowering to block steps: a symbolic stack of slots, band reads and constants; backward liveness
// from the bottom entry; the fused final write; band numbering for the steps.
#include "expr/block_plan.hpp"

#include <bitset>

namespace vexlora {
namespace {

enum class StepKind : std::uint8_t { Binary, Unary, Copy, GatherBand, StoreOut };

struct PendingStep {
    StepKind kind;
    OpCode op;
    std::int32_t dst;
    Operand a;
    Operand b;
    bool stream = false;  // writes the output with non-temporal stores
};

Operand slot(std::int32_t index) { return {OperandKind::Slot, static_cast<std::uint32_t>(index), 0.0f}; }

// The step that makes `entry` the value of destination `dst`.
PendingStep materialize(const Operand& entry, std::int32_t dst, std::span<const std::uint8_t> unit) {
    const bool gather = entry.kind == OperandKind::Band && !unit[entry.index];
    return {gather ? StepKind::GatherBand : StepKind::Copy, OpCode::PushBand, dst, entry, {}};
}

using Steps = std::pmr::vector<PendingStep>;

Steps lower(std::span<const ExprOp> ops, std::span<const std::uint8_t> unit, Operand& result,
            std::pmr::memory_resource* memory) {
    Steps steps(memory);
    std::pmr::vector<Operand> stack(memory);
    stack.reserve(64);
    for (const ExprOp& op : ops) {
        const auto depth = static_cast<std::int32_t>(stack.size());
        switch (op_info(op.op).arity) {
        case 0:
            if (op.op == OpCode::PushScalar) {
                stack.push_back({OperandKind::Const, 0, op.scalar});
            } else {
                const Operand band{OperandKind::Band, static_cast<std::uint32_t>(op.band_index), 0.0f};
                if (unit[band.index]) {
                    stack.push_back(band);
                } else {
                    steps.push_back(materialize(band, depth, unit));
                    stack.push_back(slot(depth));
                }
            }
            break;
        case 1:
            steps.push_back({StepKind::Unary, op.op, depth - 1, stack.back(), {}});
            stack.back() = slot(depth - 1);
            break;
        default: {
            const Operand top = stack.back();
            stack.pop_back();
            steps.push_back({StepKind::Binary, op.op, depth - 2, stack.back(), top});
            stack.back() = slot(depth - 2);
            break;
        }
        }
    }
    // An empty program leaves +0.0; otherwise the result is the bottom entry, whatever is above it.
    result = stack.empty() ? Operand{OperandKind::Const, 0, 0.0f} : stack.front();
    return steps;
}

// Keeps only the steps whose values reach slot 0 at the end.
Steps drop_dead(const Steps& steps, std::pmr::memory_resource* memory) {
    std::bitset<64> live;
    live.set(0);
    Steps kept(memory);
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
        if (!live.test(static_cast<std::size_t>(it->dst))) continue;
        live.reset(static_cast<std::size_t>(it->dst));
        for (const Operand* o : {&it->a, &it->b}) {
            if (o->kind == OperandKind::Slot && (it->kind == StepKind::Binary || o == &it->a)) live.set(o->index);
        }
        kept.push_back(*it);
    }
    return Steps(kept.rbegin(), kept.rend(), memory);
}

StepFn resolve(const PendingStep& s, const ExprKernels& k) {
    const auto ka = static_cast<int>(s.a.kind);
    const auto kb = static_cast<int>(s.b.kind);
    const int stream = s.stream ? 1 : 0;
    switch (s.kind) {
    case StepKind::Binary: return k.binary[static_cast<int>(s.op) - static_cast<int>(OpCode::Add)][ka][kb][stream];
    case StepKind::Unary: return k.unary[static_cast<int>(s.op) - static_cast<int>(OpCode::Neg)][ka][stream];
    case StepKind::Copy: return k.copy[ka][stream];
    case StepKind::GatherBand: return k.gather_band;
    case StepKind::StoreOut: return k.store_out;
    }
    return nullptr;
}

}  // namespace

BlockPlan build_block_plan(std::span<const ExprOp> ops, std::span<const std::uint8_t> band_unit_stride,
                           const ExprKernels& kernels, OutputMode mode, std::pmr::memory_resource* memory) {
    Operand result{};
    Steps steps = lower(ops, band_unit_stride, result, memory);
    const bool to_slot = mode == OutputMode::Store;
    if (result.kind == OperandKind::Slot) {
        steps = drop_dead(steps, memory);
    } else {
        steps.assign(1, materialize(result, 0, band_unit_stride));
    }
    if (to_slot) {
        steps.push_back({StepKind::StoreOut, OpCode::PushScalar, kDstOut, slot(0), {}});
    } else {
        // The step that produces the result writes the output itself.
        steps.back().dst = kDstOut;
        steps.back().stream = mode == OutputMode::Stream && steps.back().kind != StepKind::GatherBand;
    }

    BlockPlan plan{std::pmr::vector<Step>(memory), std::pmr::vector<std::uint64_t>(memory)};
    std::pmr::vector<std::int64_t> dense(band_unit_stride.size(), -1, memory);
    auto renumber = [&](Operand& o) {
        if (o.kind != OperandKind::Band) return;
        if (dense[o.index] < 0) {
            dense[o.index] = static_cast<std::int64_t>(plan.read_bands.size());
            plan.read_bands.push_back(o.index);
        }
        o.index = static_cast<std::uint32_t>(dense[o.index]);
    };
    plan.steps.reserve(steps.size());
    for (PendingStep& s : steps) {
        renumber(s.a);
        renumber(s.b);
        plan.steps.push_back({resolve(s, kernels), s.dst, s.a, s.b});
    }
    return plan;
}

}  // namespace vexlora
