// Lowering to block steps: a symbolic stack of slots, band reads and constants; backward liveness
// from the bottom entry; the fused final write; band numbering for the steps.
#include "expr/block_plan.hpp"

#include <algorithm>
#include <array>
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

bool is_chain(StepKind kind) { return kind == StepKind::Binary || kind == StepKind::Unary || kind == StepKind::Copy; }

// Two-operand links (pow included) take an operand; one-operand links carry none.
bool takes_operand(const Link& l) { return l.code <= kLinkPow + 1; }

// Whether a chain reads only what holds for the whole block: bands (no output overlaps an input),
// constants and gathered bands (their steps come first and nothing writes their slots again).
// Such a chain may be evaluated later in the block, for the same elements, with the same result;
// one that reads a stack slot may not, as a later chain can write that slot first.
bool reads_only_fixed(const PendingChain& c, const std::pmr::vector<Link>& links) {
    auto fixed = [](const Operand& o) {
        return o.kind == OperandKind::Band || o.kind == OperandKind::Const ||
               (o.kind == OperandKind::Slot && o.index >= kStackSlots);
    };
    if (!fixed(c.a)) return false;
    for (std::uint32_t i = 0; i < c.link_count; ++i) {
        const Link& l = links[c.first_link + i];
        if (takes_operand(l) && !fixed(l.operand)) return false;
    }
    return true;
}

// Makes link l take a value held in registers (of `kind`) instead of its operand.
void read_held(Link& l, OperandKind kind) {
    if (l.code < kLinkPow) {
        const bool value_on_top = l.code % 2 != 0;
        l.code = link_code(static_cast<LinkOp>(l.code / 2 / kOperandKinds), kind, value_on_top);
    }
    l.operand = {kind, 0, 0.0f};
}

// Side chains: a chain whose value a later chain's link reads from a slot, and which reads only
// what holds for the whole block, is evaluated by that later chain instead, its value kept in
// registers (no store, no load, one step less per block). `sides[c]` lists chain c's side chains;
// `hosted[c]` is true for a chain that is another's side.
struct SideChains {
    std::pmr::vector<std::array<std::size_t, kMaxSides>> sides;
    std::pmr::vector<std::uint32_t> count;
    std::pmr::vector<std::uint8_t> hosted;
};

SideChains find_side_chains(const std::pmr::vector<PendingChain>& chains, std::pmr::vector<Link>& links,
                            std::uint32_t max_sides, std::pmr::memory_resource* memory) {
    const std::size_t n = chains.size();
    SideChains found{std::pmr::vector<std::array<std::size_t, kMaxSides>>(n, memory),
                     std::pmr::vector<std::uint32_t>(n, 0, memory), std::pmr::vector<std::uint8_t>(n, 0, memory)};
    for (std::size_t c = 0; c < n; ++c) {
        if (!is_chain(chains[c].kind)) continue;
        for (std::uint32_t i = 0; i < chains[c].link_count && found.count[c] < max_sides; ++i) {
            Link& l = links[chains[c].first_link + i];
            if (!takes_operand(l) || l.operand.kind != OperandKind::Slot || l.operand.index >= kStackSlots) continue;
            // The value's maker: the latest step before c that writes its slot (a stack value is
            // read once, by this link, and nothing writes its slot while it waits there). A gather
            // into a stack slot (past the gathered slots) also ends the search, and is no chain.
            std::size_t p = c;
            while (p > 0 && chains[p - 1].dst != static_cast<std::int32_t>(l.operand.index)) --p;
            if (p == 0) continue;
            const std::size_t maker = p - 1;
            if (!is_chain(chains[maker].kind) || found.hosted[maker] || found.count[maker] > 0) continue;
            if (!reads_only_fixed(chains[maker], links)) continue;
            read_held(l, found.count[c] == 0 ? OperandKind::Side0 : OperandKind::Side1);
            found.sides[c][found.count[c]++] = maker;
            found.hosted[maker] = 1;
        }
    }
    return found;
}

// Prefetched bands: per chain (with its side chains), the bands read more than once, most read
// first, as many as the instruction set holds beside the chain's sides; their reads are made to
// take the held values.
static_assert(kMaxPrefetched == 2, "steps are made with two prefetch entries");
struct Prefetched {
    std::array<std::uint32_t, kMaxPrefetched> bands{};
    std::uint32_t count = 0;
};

std::pmr::vector<Prefetched> prefetch_bands(std::pmr::vector<PendingChain>& chains, std::pmr::vector<Link>& links,
                                            const SideChains& side_chains, const ExprKernels& kernels,
                                            std::pmr::memory_resource* memory) {
    std::pmr::vector<Prefetched> chosen(chains.size(), memory);
    struct Tally {
        std::uint32_t band, reads;
    };
    // One per band operand at most: a first operand and the links of the chain and each side.
    std::array<Tally, (kMaxSides + 1) * (kMaxChainLinks + 1)> tallies;
    std::size_t tally_count = 0;
    for (std::size_t c = 0; c < chains.size(); ++c) {
        if (!is_chain(chains[c].kind) || side_chains.hosted[c]) continue;
        // The chain and its side chains, whose operands are rewritten together.
        std::array<std::size_t, kMaxSides + 1> group{c};
        const std::uint32_t members = 1 + side_chains.count[c];
        for (std::uint32_t s = 0; s < side_chains.count[c]; ++s) group[s + 1] = side_chains.sides[c][s];
        auto each_band_operand = [&](auto&& visit) {
            for (std::uint32_t m = 0; m < members; ++m) {
                PendingChain& chain = chains[group[m]];
                if (chain.a.kind == OperandKind::Band) visit(chain.a, nullptr);
                for (std::uint32_t i = 0; i < chain.link_count; ++i) {
                    Link& l = links[chain.first_link + i];
                    if (takes_operand(l) && l.operand.kind == OperandKind::Band) visit(l.operand, &l);
                }
            }
        };
        tally_count = 0;
        bool repeated = false;
        each_band_operand([&](const Operand& o, Link*) {
            const auto end = tallies.begin() + static_cast<std::ptrdiff_t>(tally_count);
            auto it = std::find_if(tallies.begin(), end, [&](const Tally& t) { return t.band == o.index; });
            if (it == end) tallies[tally_count++] = {o.index, 1};
            else repeated = ++it->reads >= 2 || repeated;
        });
        if (!repeated) continue;
        Prefetched& pick = chosen[c];
        while (pick.count < kMaxPrefetched) {
            const StepFn* fns = kernels.chain[side_chains.count[c]][pick.count + 1];
            if (fns[0] == nullptr || fns[1] == nullptr) break;
            // The band read most often (the first seen of equals), among those read at least twice.
            Tally* most = nullptr;
            for (std::size_t t = 0; t < tally_count; ++t) {
                if (tallies[t].reads >= 2 && (most == nullptr || tallies[t].reads > most->reads)) most = &tallies[t];
            }
            if (most == nullptr) break;
            pick.bands[pick.count++] = most->band;
            most->reads = 0;
        }
        if (pick.count == 0) continue;
        each_band_operand([&](Operand& o, Link* l) {
            for (std::uint32_t b = 0; b < pick.count; ++b) {
                if (o.index != pick.bands[b]) continue;
                const OperandKind kind = b == 0 ? OperandKind::Pre0 : OperandKind::Pre1;
                if (l != nullptr) read_held(*l, kind);
                else o = {kind, 0, 0.0f};
                break;
            }
        });
    }
    return chosen;
}

StepFn resolve(const PendingChain& c, std::uint32_t side_count, std::uint32_t prefetched, const ExprKernels& k) {
    switch (c.kind) {
    case StepKind::GatherBand: return k.gather_band;
    case StepKind::StoreOut: return k.store_out;
    default: return k.chain[side_count][prefetched][c.stream ? 1 : 0];
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

    BlockPlan plan{std::pmr::vector<Step>(memory), std::pmr::vector<Step>(memory),
                   std::pmr::vector<std::uint64_t>(memory), std::pmr::vector<Link>(memory)};
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
    std::uint32_t max_sides = 0;
    while (max_sides < kMaxSides && kernels.chain[max_sides + 1][0][0] != nullptr &&
           kernels.chain[max_sides + 1][0][1] != nullptr) {
        ++max_sides;
    }
    const SideChains side_chains = find_side_chains(chains, plan.links, max_sides, memory);
    std::pmr::vector<Prefetched> prefetched = prefetch_bands(chains, plan.links, side_chains, kernels, memory);
    for (Link& l : plan.links) renumber(l.operand);
    for (PendingChain& c : chains) renumber(c.a);
    for (Prefetched& p : prefetched) {
        for (std::uint32_t b = 0; b < p.count; ++b) {
            Operand band{OperandKind::Band, p.bands[b], 0.0f};
            renumber(band);
            p.bands[b] = band.index;
        }
    }

    // Each chain's side chains lie together in side_steps, which is filled before any step points into it.
    std::pmr::vector<std::size_t> first_side(chains.size(), 0, memory);
    for (std::size_t c = 0; c < chains.size(); ++c) {
        first_side[c] = plan.side_steps.size();
        for (std::uint32_t s = 0; s < side_chains.count[c]; ++s) {
            const PendingChain& side = chains[side_chains.sides[c][s]];
            // A side chain is run by its host: it has no function, and its slot is not written.
            plan.side_steps.push_back({nullptr, side.dst, side.a, plan.links.data() + side.first_link,
                                       side.link_count, nullptr, 0, {}, 0});
        }
    }
    plan.steps.reserve(chains.size());
    for (std::size_t c = 0; c < chains.size(); ++c) {
        if (side_chains.hosted[c]) continue;
        const PendingChain& chain = chains[c];
        const std::uint32_t sides = side_chains.count[c];
        const Prefetched& pre = prefetched[c];
        plan.steps.push_back({resolve(chain, sides, pre.count, kernels), chain.dst, chain.a,
                              plan.links.data() + chain.first_link, chain.link_count,
                              plan.side_steps.data() + first_side[c], sides, {pre.bands[0], pre.bands[1]}, pre.count});
    }
    return plan;
}

}  // namespace vexlora
