// Lowering to block steps: a symbolic stack of slots, band reads and constants; backward liveness
// from the bottom entry; the fused final write; band numbering for the steps.
#include "expr/block_plan.hpp"

#include <algorithm>
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
PendingStep materialize(const Operand& entry, std::int32_t dst, std::span<const std::uint8_t> direct) {
    const bool gather = entry.kind == OperandKind::Band && !direct[entry.index];
    return {gather ? StepKind::GatherBand : StepKind::Copy, OpCode::PushBand, dst, entry, {}};
}

using Steps = std::pmr::vector<PendingStep>;

// Bands not read in place are gathered into slots from kStackSlots on, one per band (`gathered` lists them);
// past kGatheredSlots of them, further ones are gathered into the stack slot at each push.
Steps lower(std::span<const ExprOp> ops, std::span<const std::uint8_t> direct, Operand& result,
            std::pmr::vector<std::uint64_t>& gathered, std::pmr::memory_resource* memory) {
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
                auto known = std::find(gathered.begin(), gathered.end(), op.band_index);
                if (!direct[band.index] && known == gathered.end() && gathered.size() < kGatheredSlots) {
                    known = gathered.insert(gathered.end(), op.band_index);
                }
                if (direct[band.index]) {
                    stack.push_back(band);
                } else if (known != gathered.end()) {
                    const auto r = known - gathered.begin();
                    stack.push_back(slot(static_cast<std::int32_t>(kStackSlots + r)));
                } else {
                    steps.push_back(materialize(band, depth, direct));
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
    if (result.kind == OperandKind::Slot && result.index >= kStackSlots) {
        result = {OperandKind::Band, static_cast<std::uint32_t>(gathered[result.index - kStackSlots]), 0.0f};
    }
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
            const bool read = it->kind == StepKind::Binary || o == &it->a;
            if (read && o->kind == OperandKind::Slot && o->index < kStackSlots) live.set(o->index);
        }
        kept.push_back(*it);
    }
    return Steps(kept.rbegin(), kept.rend(), memory);
}

bool holds(const Operand& o, std::int32_t slot_index) {
    return o.kind == OperandKind::Slot && static_cast<std::int32_t>(o.index) == slot_index;
}

static_assert(static_cast<int>(OpCode::Sqrt) - static_cast<int>(OpCode::Add) == static_cast<int>(LinkOp::Sqrt) &&
                  static_cast<int>(OpCode::Pow) - static_cast<int>(OpCode::Add) == static_cast<int>(LinkOp::Pow),
              "link ops follow the instruction table from add on");

LinkOp link_op(OpCode op) { return static_cast<LinkOp>(static_cast<int>(op) - static_cast<int>(OpCode::Add)); }

// A step of the plan before its function is chosen: a chain (`links` from `first_link`), a gather
// or the store to a strided output.
struct PendingChain {
    StepKind kind;
    std::int32_t dst;
    Operand a;
    std::size_t first_link = 0;
    std::uint32_t link_count = 0;
    bool stream = false;  // writes the output with non-temporal stores
};

// Groups the steps into chains. Each stack value is consumed exactly once, so a step that takes
// the value the step before it made is that value's only reader: it can take it in registers.
// (Gathered bands are read many times, but a gather step never opens a chain.)
std::pmr::vector<PendingChain> form_chains(const Steps& steps, std::pmr::vector<Link>& links,
                                           std::pmr::memory_resource* memory) {
    std::pmr::vector<PendingChain> chains(memory);
    bool open = false;  // the last chain may take further links
    for (const PendingStep& s : steps) {
        if (open && chains.back().link_count < kMaxChainLinks) {
            PendingChain& c = chains.back();
            if (s.kind == StepKind::Unary && holds(s.a, c.dst)) {
                links.push_back({link_code(link_op(s.op), OperandKind::Slot, false), {}});
            } else if (s.kind == StepKind::Binary && holds(s.a, c.dst)) {
                links.push_back({link_code(link_op(s.op), s.b.kind, false), s.b});
            } else if (s.kind == StepKind::Binary && holds(s.b, c.dst)) {
                links.push_back({link_code(link_op(s.op), s.a.kind, true), s.a});
            } else {
                open = false;
            }
            if (open) {
                ++c.link_count;
                c.dst = s.dst;
                continue;
            }
        }
        PendingChain c{s.kind, s.dst, s.a, links.size()};
        switch (s.kind) {
        case StepKind::Binary:
            links.push_back({link_code(link_op(s.op), s.b.kind, false), s.b});
            c.link_count = 1;
            break;
        case StepKind::Unary:
            links.push_back({link_code(link_op(s.op), OperandKind::Slot, false), {}});
            c.link_count = 1;
            break;
        default: break;
        }
        open = s.kind == StepKind::Binary || s.kind == StepKind::Unary || s.kind == StepKind::Copy;
        chains.push_back(c);
    }
    return chains;
}

StepFn resolve(const PendingChain& c, const ExprKernels& k) {
    switch (c.kind) {
    case StepKind::GatherBand: return k.gather_band;
    case StepKind::StoreOut: return k.store_out;
    default: return k.chain[c.stream ? 1 : 0];
    }
}

}  // namespace

BlockPlan build_block_plan(std::span<const ExprOp> ops, std::span<const std::uint8_t> band_direct,
                           const ExprKernels& kernels, OutputMode mode, std::pmr::memory_resource* memory) {
    Operand result{};
    std::pmr::vector<std::uint64_t> gathered(memory);
    Steps steps = lower(ops, band_direct, result, gathered, memory);
    if (result.kind == OperandKind::Slot) {
        steps = drop_dead(steps, memory);
        // Each gathered band the remaining steps read, gathered first.
        std::bitset<kGatheredSlots> used;
        for (const PendingStep& s : steps) {
            for (const Operand* o : {&s.a, &s.b}) {
                if (o->kind == OperandKind::Slot && o->index >= kStackSlots) used.set(o->index - kStackSlots);
            }
        }
        Steps first(memory);
        for (std::size_t r = 0; r < gathered.size(); ++r) {
            if (!used.test(r)) continue;
            const Operand band{OperandKind::Band, static_cast<std::uint32_t>(gathered[r]), 0.0f};
            first.push_back(materialize(band, static_cast<std::int32_t>(kStackSlots + r), band_direct));
        }
        steps.insert(steps.begin(), first.begin(), first.end());
    } else {
        steps.assign(1, materialize(result, 0, band_direct));
    }

    BlockPlan plan{std::pmr::vector<Step>(memory), std::pmr::vector<std::uint64_t>(memory),
                   std::pmr::vector<Link>(memory)};
    std::pmr::vector<PendingChain> chains = form_chains(steps, plan.links, memory);
    if (mode == OutputMode::Store) {
        chains.push_back({StepKind::StoreOut, kDstOut, slot(0)});
    } else {
        // The chain that produces the result writes the output itself.
        chains.back().dst = kDstOut;
        chains.back().stream = mode == OutputMode::Stream && chains.back().kind != StepKind::GatherBand;
    }

    std::pmr::vector<std::int64_t> dense(band_direct.size(), -1, memory);
    auto renumber = [&](Operand& o) {
        if (o.kind != OperandKind::Band) return;
        if (dense[o.index] < 0) {
            dense[o.index] = static_cast<std::int64_t>(plan.read_bands.size());
            plan.read_bands.push_back(o.index);
        }
        o.index = static_cast<std::uint32_t>(dense[o.index]);
    };
    for (Link& l : plan.links) renumber(l.operand);
    plan.steps.reserve(chains.size());
    for (PendingChain& c : chains) {
        renumber(c.a);
        plan.steps.push_back({resolve(c, kernels), c.dst, c.a, plan.links.data() + c.first_link, c.link_count});
    }
    return plan;
}

}  // namespace vexlora
