// Per-call traversal decisions shared by the spectral kernels and the band-math executor:
// loop order, tiling, parallel grain, and when an output is better written around the caches.
#pragma once

#include "kernels/parallel_zip.hpp"
#include "kernels/strided_view.hpp"
#include "kernels/traversal.hpp"

#include <cstdint>
#include <span>

namespace vexlora {

// Segments along the axis that the inputs (views[1..]) walk contiguously when they lean one way and
// the output (views[0]) has unit stride along or across it; otherwise along the axis that most
// views walk contiguously (by their summed `tendency`). When the output is contiguous across the
// segments, results are transposed through tiles; when another view is, segments are visited in
// tiles. `max_run` caps segment lengths.
TraversalPlan plan_traversal(bool flat, int tendency, std::span<const ViewGeometry> views, std::int64_t max_run);

// For a tiled plan: the index along the output's unit-stride axis (across the runs for a
// transposing plan, along them otherwise) at which its cache lines start, so that tiles and the
// vectors in them write whole aligned lines; 0 where the output's rows or columns start at
// different offsets within a line.
std::int64_t line_phase(const TraversalPlan& plan, std::uintptr_t out_origin, const ViewGeometry& out);

// The group as split for a transposing plan: into bands across the runs (so the output's lines are
// written end to end within a piece) rather than by the inputs' order. Results do not depend on it.
ZipGroup transposing_split(const ZipGroup& group, const TraversalPlan& plan);

// The grain of a transposing run: few, tall pieces (two per thread), so that the inputs are read in
// long runs; never below `grain`.
std::int64_t transposing_grain(const ZipGroup& group, const ThreadPool& pool, std::int64_t grain);

// True when the output must be written by one thread: its positions may share memory, or its bytes
// overlap an input that the borrows could not tell apart (another base object over the same memory).
bool needs_single_thread(std::uintptr_t out_origin, const ViewGeometry& out,
                         std::span<const std::uintptr_t> in_origins, std::span<const ViewGeometry> ins);

// The size of the last-level cache, as the system reports it (8 MiB when it does not).
std::int64_t last_level_cache_bytes();

// True for unit-stride outputs large enough that caching them would only evict the inputs.
bool prefers_streaming_stores(const TraversalPlan& plan, const ViewGeometry& out);

// The same for an output written through transposing tiles, which gains from a much smaller size.
bool prefers_streaming_transposed(const TraversalPlan& plan, const ViewGeometry& out);

}  // namespace vexlora
