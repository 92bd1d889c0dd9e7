// Bodies of the spectral index functions: binding, then the frame (shape check, borrows,
// release of the interpreter lock, parallel run, release of the borrows).
#include "binding/spectral_functions.hpp"

#include "binding/arguments.hpp"
#include "binding/borrow_registry.hpp"
#include "binding/call_guard.hpp"
#include "binding/gil.hpp"
#include "binding/messages.hpp"
#include "binding/numpy_api.hpp"
#include "binding/panic.hpp"
#include "binding/runtime.hpp"
#include "binding/signature.hpp"
#include "kernels/fp_env.hpp"
#include "kernels/spectral.hpp"

#include <span>

namespace vexlora {
namespace {

constexpr const char* kTwoBandParams[] = {"band_a", "band_b", "out_buffer"};
constexpr const char* kAdjustedParams[] = {"band_a", "band_b", "l", "out_buffer"};
constexpr const char* kEviParams[] = {"nir", "red", "blue", "g", "c1", "c2", "l", "out_buffer"};
constexpr const char* kAllocatingParams[] = {"band_a", "band_b"};

// Borrows, and the parallel run with the lock released; empty or the internal failure met.
// geometry[i] belongs to inputs[i], geometry[inputs.size()] to `out`.
std::optional<std::string> borrow_and_run(const NumpyApi& api, SpectralKind kind,
                                          std::span<const PyRef> inputs, PyObject* out,
                                          const ArrayGeometry* geometry, const SpectralParams& params) {
    CallBorrows borrows(api, /*release_reads_in_reverse=*/true, inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (auto refused = borrows.read(inputs[i].get(), geometry[i])) return refused;
    }
    if (auto refused = borrows.write(out, geometry[inputs.size()])) return refused;

    SpectralCall call{};
    call.kind = kind;
    call.inputs = static_cast<int>(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) call.in[i] = band_view(geometry[i]);
    call.out = out_view(geometry[inputs.size()]);
    call.params = params;

    ThreadPool* pool = global_pool();
    if (pool == nullptr) return std::string(msg::kPoolMissing);
    // After the pool check: when memory is short, a pool that could not start is the failure to report.
    const ScratchLease lease;  // ended after `unlocked` below, with the interpreter lock again
    Scratch* scratch = lease.get();
    if (scratch == nullptr) return std::string(msg::kScratchUnavailable);
    const IsaTable& isa = active_isa();
    GilRelease unlocked;
    run_spectral(*pool, isa, call, *scratch);
    return std::nullopt;
}

// Every array read once, in parameter order, now that no more Python code of the call runs; then
// the shape check over inputs then output, the borrows and the run. An internal failure is raised
// once the borrows are released again.
PyObject* run_frame(SpectralKind kind, std::span<const PyRef> inputs, const char* const* names, PyObject* out,
                    const SpectralParams& params) {
    refresh_after_fork();
    ArrayGeometry geometry[4];
    Shape2 shapes[4];
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (!inspect_array(inputs[i].get(), ArrayRole::Band, names[i], geometry[i])) return nullptr;
    }
    if (!inspect_array(out, ArrayRole::Output, "out_buffer", geometry[inputs.size()])) return nullptr;
    for (std::size_t i = 0; i <= inputs.size(); ++i) shapes[i] = array_shape(geometry[i]);
    if (auto mismatch = check_shapes({shapes, inputs.size() + 1})) return raise_value_error(*mismatch);

    const NumpyApi* api = numpy_api();
    if (api == nullptr) return nullptr;
    if (auto failure = borrow_and_run(*api, kind, inputs, out, geometry, params)) return raise_panic(*failure);
    Py_RETURN_NONE;
}

// band_a and band_b, the first two arguments of every two-band function.
bool two_band_arguments(const BoundArgs& bound, PyRef (&inputs)[2]) {
    inputs[0] = array_argument(bound[0], "band_a", ArrayRole::Band);
    if (!inputs[0]) return false;
    inputs[1] = array_argument(bound[1], "band_b", ArrayRole::Band);
    return static_cast<bool>(inputs[1]);
}

// The three-argument form shared by the normalized difference and the ratio.
PyObject* two_band_inplace(const char* name, SpectralKind kind, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    BoundArgs bound;
    if (!bind_arguments({name, kTwoBandParams}, args, nargs, kwnames, bound)) return nullptr;
    PyRef inputs[2];
    if (!two_band_arguments(bound, inputs)) return nullptr;
    PyRef out = array_argument(bound[2], "out_buffer", ArrayRole::Output);
    if (!out) return nullptr;
    return run_frame(kind, inputs, kTwoBandParams, out.get(), SpectralParams{});
}

}  // namespace

PyObject* calculate_normalized_difference_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
    return guarded_call([&] {
        return two_band_inplace("calculate_normalized_difference_inplace", SpectralKind::NormalizedDifference, args,
                                nargs, kwnames);
    });
}

PyObject* calculate_ratio_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call(
        [&] { return two_band_inplace("calculate_ratio_inplace", SpectralKind::Ratio, args, nargs, kwnames); });
}

PyObject* calculate_adjusted_difference_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames) {
    return guarded_call([&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_arguments({"calculate_adjusted_difference_inplace", kAdjustedParams}, args, nargs, kwnames, bound))
            return nullptr;
        PyRef inputs[2];
        if (!two_band_arguments(bound, inputs)) return nullptr;
        SpectralParams params{};
        if (!float_argument(bound[2], "l", params.l)) return nullptr;
        PyRef out = array_argument(bound[3], "out_buffer", ArrayRole::Output);
        if (!out) return nullptr;
        params.k = add_float32_nearest(1.0f, params.l);  // once per call, outside the element loop
        return run_frame(SpectralKind::AdjustedDifference, inputs, kAdjustedParams, out.get(), params);
    });
}

PyObject* calculate_evi_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_arguments({"calculate_evi_inplace", kEviParams}, args, nargs, kwnames, bound)) return nullptr;
        PyRef inputs[3];
        for (int i = 0; i < 3; ++i) {
            inputs[i] = array_argument(bound[i], kEviParams[i], ArrayRole::Band);
            if (!inputs[i]) return nullptr;
        }
        SpectralParams params{};
        float* const scalars[4] = {&params.g, &params.c1, &params.c2, &params.l};
        for (int i = 0; i < 4; ++i) {
            if (!float_argument(bound[3 + i], kEviParams[3 + i], *scalars[i])) return nullptr;
        }
        PyRef out = array_argument(bound[7], "out_buffer", ArrayRole::Output);
        if (!out) return nullptr;
        return run_frame(SpectralKind::Evi, inputs, kEviParams, out.get(), params);
    });
}

PyObject* calculate_normalized_difference(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_arguments({"calculate_normalized_difference", kAllocatingParams}, args, nargs, kwnames, bound))
            return nullptr;
        PyRef inputs[2];
        if (!two_band_arguments(bound, inputs)) return nullptr;
        ArrayGeometry first{};
        if (!inspect_array(inputs[0].get(), ArrayRole::Band, "band_a", first)) return nullptr;
        PyRef out = new_output_array(array_shape(first));
        if (!out) return nullptr;
        // The allocation may run Python code (a collection's finalizers), so the frame reads the arrays again.
        PyRef done = PyRef::steal(
            run_frame(SpectralKind::NormalizedDifference, inputs, kAllocatingParams, out.get(), SpectralParams{}));
        if (!done) return nullptr;
        return out.release();
    });
}

}  // namespace vexlora
