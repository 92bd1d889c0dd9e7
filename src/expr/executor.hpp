// execute_program: running a band-math program for every element of an output view.
// Element-independent failures are found before any element runs; the pool run itself cannot fail.
#pragma once

#include "expr/expr_op.hpp"
#include "kernels/isa.hpp"
#include "kernels/scratch.hpp"
#include "kernels/strided_view.hpp"
#include "kernels/thread_pool.hpp"

#include <memory_resource>
#include <optional>
#include <span>
#include <string>

namespace vexlora {

// Writes the program's result to every element of `out`, or returns the failure message that
// element-by-element evaluation would raise. After a failure, `out` keeps its old values except,
// possibly, elements inside every band the program reads. Called without the interpreter lock;
// the per-call working vectors come from `memory`, `scratch` is the calling thread's.
std::optional<std::string> execute_program(ThreadPool& pool, const IsaTable& isa, std::span<const ExprOp> ops,
                                           std::span<const BandView> bands, const OutView& out,
                                           std::pmr::memory_resource* memory, Scratch& scratch);

}  // namespace vexlora
