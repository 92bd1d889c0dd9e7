// Bands whose cache lines evict each other from the L1 data cache when read in the same block,
// and the choice of which of them a band-math run should read only once per block.
#pragma once

#include "kernels/strided_view.hpp"

#include <cstdint>
#include <span>

namespace vexlora {

// True on processors whose L1 data cache finds a line's way by a hash of its linear address
// (AMD's Zen family): two lines in one set with one hash cannot be held together there.
bool l1_ways_hashed();

// Whether colliding lines can cost a run over `elements` elements anything worth the check:
// on those processors, and for bands too large to stay in the L2 cache.
bool collisions_matter(std::int64_t elements);

// The way hash of those processors for the line holding `address`.
unsigned l1_way_hash(std::uintptr_t address);

// The share, from 0 to 1, of sampled elements [i, j] whose line in view a falls in one L1 set with
// one way hash as a line of view b within `reach` bytes of b's element [i, j] (the part of b read
// in the same block), so that reading one evicts the other. The views have the same shape.
double colliding_share(std::uintptr_t a_origin, const ViewGeometry& a, std::uintptr_t b_origin,
                       const ViewGeometry& b, std::int64_t reach);

// Which bands to read once per block (into a slot) rather than at every use, so that no band read
// more than once per block has lines that another band read in that block evicts. `reads[k]` is
// how often band k is read per block, `direct[k]` whether it is read in place, and `reach` the bytes
// of a band one block reads. At most `max_taken` bands are taken out of the direct reads, by
// setting `direct[k] = 0`; says whether it took any. Does nothing unless `l1_ways_hashed()` or
// `assume_hashed`.
bool avoid_colliding_reads(std::span<const std::uintptr_t> origins, std::span<const ViewGeometry> views,
                           std::span<const std::uint32_t> reads, std::span<std::uint8_t> direct, std::int64_t reach,
                           std::size_t max_taken, bool assume_hashed = false);

}  // namespace vexlora
