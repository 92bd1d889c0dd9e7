// run_spectral: one spectral index call from views to written output, on the worker pool.
// Chooses the traversal (flat, row or column runs, tiles), the store kind and whether to split at all.
#pragma once

#include "kernels/isa.hpp"
#include "kernels/scratch.hpp"
#include "kernels/strided_view.hpp"
#include "kernels/thread_pool.hpp"

namespace vexlora {

struct SpectralCall {
    SpectralKind kind;
    OutView out;
    BandView in[3];
    int inputs;
    SpectralParams params;
};

// Writes every element of call.out; `scratch` is the calling thread's. Called without the interpreter lock.
void run_spectral(ThreadPool& pool, const IsaTable& isa, const SpectralCall& call, Scratch& scratch);

}  // namespace vexlora
