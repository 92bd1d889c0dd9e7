// Bands whose cache lines evict each other from the L1 data cache when read at the same element,
// and the choice of which of them a band-math run should read only once per block.
#pragma once

#include "kernels/strided_view.hpp"

#include <cstdint>
#include <span>

namespace vexlora {

// True on processors whose L1 data cache finds a line's way by a hash of its linear address
// (AMD's Zen family): two lines in one set with one hash cannot be held together there.
bool l1_ways_hashed();

// The way hash of those processors for the line holding `address`.
unsigned l1_way_hash(std::uintptr_t address);

// The share, from 0 to 1, of sampled elements [i, j] whose lines in the two views (same shape) fall
// in one L1 set with one way hash, so that reading one evicts the other.
double colliding_share(std::uintptr_t a_origin, const ViewGeometry& a, std::uintptr_t b_origin,
                       const ViewGeometry& b);

// Which bands to read once per block (into a slot) rather than at every use, so that no band read
// more than once per block shares lines with another band read in that block. `reads[k]` is how
// often band k is read per block and `direct[k]` whether it is read in place; bands chosen here
// get `direct[k] = 0`. Does nothing unless `l1_ways_hashed()` or `assume_hashed`.
void avoid_colliding_reads(std::span<const std::uintptr_t> origins, std::span<const ViewGeometry> views,
                           std::span<const std::uint32_t> reads, std::span<std::uint8_t> direct,
                           bool assume_hashed = false);

}  // namespace vexlora
