// The Python side of the band-math executor: argument order, the hold on the CompiledExpr,
// band-list borrows (released in list order), the private program copy and failure raising.
#include "expr/execute_expr.hpp"

#include "binding/arguments.hpp"
#include "binding/borrow_registry.hpp"
#include "binding/call_guard.hpp"
#include "binding/gil.hpp"
#include "binding/numpy_api.hpp"
#include "binding/panic.hpp"
#include "binding/runtime.hpp"
#include "binding/signature.hpp"
#include "expr/compiled_expr.hpp"
#include "expr/executor.hpp"

#include <memory_resource>

namespace vexlora {
namespace {

constexpr const char* kParams[] = {"expr", "bands", "out_buffer"};

// Borrows, the private program copy and the run with the lock released; empty or the failure met.
// geometry[i] belongs to bands[i], geometry[bands.size()] to `out`.
std::optional<std::string> borrow_and_run(const NumpyApi& api, const CompiledExprObject& expr,
                                          const std::vector<PyRef>& bands, PyObject* out,
                                          const std::vector<ArrayGeometry>& geometry) {
    CallBorrows borrows(api, /*release_reads_in_reverse=*/false, bands.size());
    for (std::size_t i = 0; i < bands.size(); ++i) {
        if (auto refused = borrows.read(bands[i].get(), geometry[i])) return refused;
    }
    if (auto refused = borrows.write(out, geometry[bands.size()])) return refused;

    // The call's working memory: a stack buffer that covers ordinary programs, the heap beyond it.
    alignas(64) std::byte buffer[4096];
    std::pmr::monotonic_buffer_resource memory(buffer, sizeof buffer);
    std::pmr::vector<BandView> views(&memory);
    views.reserve(bands.size());
    for (std::size_t i = 0; i < bands.size(); ++i) views.push_back(band_view(geometry[i]));
    const OutView out_v = out_view(geometry[bands.size()]);
    const std::pmr::vector<ExprOp> program(expr.ops.begin(), expr.ops.end(), &memory);  // the run reads only this

    ThreadPool* pool = global_pool();
    if (pool == nullptr) return std::string(msg::kPoolMissing);
    // After the pool check: when memory is short, a pool that could not start is the failure to report.
    const ScratchLease lease;  // ended after `unlocked` below, with the interpreter lock again
    Scratch* scratch = lease.get();
    if (scratch == nullptr) return std::string(msg::kScratchUnavailable);
    const IsaTable& isa = active_isa();
    GilRelease unlocked;
    return execute_program(*pool, isa, program, views, out_v, &memory, *scratch);
}

// Every array read once, now that no more Python code of the call runs (the iterator of `bands`
// may have changed an array it had already handed over). False with the argument's TypeError.
bool inspect_arrays(const std::vector<PyRef>& bands, PyObject* out, std::vector<ArrayGeometry>& geometry) {
    geometry.resize(bands.size() + 1);
    for (std::size_t i = 0; i < bands.size(); ++i) {
        if (!inspect_array(bands[i].get(), ArrayRole::Band, "bands", geometry[i])) return false;
    }
    return inspect_array(out, ArrayRole::Output, "out_buffer", geometry[bands.size()]);
}

}  // namespace

PyObject* execute_expr_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_arguments({"execute_expr_inplace", kParams}, args, nargs, kwnames, bound)) return nullptr;
        if (!is_compiled_expr(bound[0])) {
            raise_cannot_convert(bound[0], msg::kTargetCompiledExpr);
            prefix_argument_error("expr");
            return nullptr;
        }
        const PyRef expr_ref = PyRef::borrow(bound[0]);
        auto* expr = reinterpret_cast<CompiledExprObject*>(expr_ref.get());
        std::vector<PyRef> bands;
        if (!band_list_argument(bound[1], "bands", bands)) return nullptr;
        const PyRef out = array_argument(bound[2], "out_buffer", ArrayRole::Output);
        if (!out) return nullptr;

        std::optional<std::string> failure;
        {
            ExprHold hold(expr);
            if (!hold.acquire()) return nullptr;
            if (bands.size() != expr->num_bands) return raise_value_error(std::string(msg::kBandCountMismatch));
            refresh_after_fork();
            const NumpyApi* api = numpy_api();
            if (api == nullptr) return nullptr;
            std::vector<ArrayGeometry> geometry;
            if (!inspect_arrays(bands, out.get(), geometry)) return nullptr;
            failure = borrow_and_run(*api, *expr, bands, out.get(), geometry);
        }
        // Raised once the borrows and the hold are released.
        if (failure) return raise_panic(*failure);
        Py_RETURN_NONE;
    });
}

}  // namespace vexlora
