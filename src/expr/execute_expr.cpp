// The Python side of the band-math executor: argument order, the hold on the CompiledExpr,
// band-list borrows (released in list order), the private program copy and failure raising.
#include "expr/execute_expr.hpp"

#include "binding/arguments.hpp"
#include "binding/borrow_registry.hpp"
#include "binding/call_guard.hpp"
#include "binding/gil.hpp"
#include "binding/runtime.hpp"
#include "binding/signature.hpp"
#include "expr/compiled_expr.hpp"
#include "expr/executor.hpp"

#include <memory_resource>

namespace vexlora {
namespace {

constexpr const char* kParams[] = {"expr", "bands", "out_buffer"};

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

        ExprHold hold(expr);
        if (!hold.acquire()) return nullptr;
        if (bands.size() != expr->num_bands) return raise_value_error(std::string(msg::kBandCountMismatch));

        refresh_after_fork();
        CallBorrows borrows(/*release_reads_in_reverse=*/false, bands.size());
        for (const PyRef& band : bands) {
            if (!borrows.read(band.get())) return nullptr;
        }
        if (!borrows.write(out.get())) return nullptr;

        // The call's working memory: a stack buffer that covers ordinary programs, the heap beyond it.
        alignas(64) std::byte scratch[4096];
        std::pmr::monotonic_buffer_resource memory(scratch, sizeof scratch);
        std::pmr::vector<BandView> views(&memory);
        views.reserve(bands.size());
        for (const PyRef& band : bands) views.push_back(band_view(band.get()));
        const OutView out_v = out_view(out.get());
        const std::pmr::vector<ExprOp> program(expr->ops.begin(), expr->ops.end(), &memory);  // the run reads only this copy

        ThreadPool* pool = pool_for_call();
        if (pool == nullptr) return nullptr;
        const IsaTable& isa = active_isa();
        std::optional<std::string> failure;
        {
            GilRelease unlocked;
            failure = execute_program(*pool, isa, program, views, out_v, &memory);
        }
        if (failure) return raise_panic(*failure);
        Py_RETURN_NONE;
    });
}

}  // namespace vexlora
