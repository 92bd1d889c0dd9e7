// The band-math compiler: instructions taken by iteration, "type" looked up first, the operand
// key only for the op that uses it, and exceptions of the lookups passed on unchanged.
#include "expr/compile_expr.hpp"

#include "binding/arguments.hpp"
#include "binding/call_guard.hpp"
#include "binding/signature.hpp"
#include "expr/compiled_expr.hpp"

#include <string_view>

namespace vexlora {
namespace {

constexpr const char* kParams[] = {"instructions", "num_bands"};

// item[key] through the generic item lookup, with a fresh key object.
PyRef lookup(PyObject* item, const char* key) {
    PyRef key_obj = PyRef::steal(PyUnicode_FromString(key));
    if (!key_obj) return {};
    return PyRef::steal(PyObject_GetItem(item, key_obj.get()));
}

// Decodes one instruction; false with the exception set.
bool decode(PyObject* item, ExprOp& out) {
    std::string name;
    {
        PyRef type = lookup(item, "type");
        if (!type) return false;
        if (!PyUnicode_Check(type.get())) {
            raise_cannot_convert(type.get(), msg::kTargetString);
            return false;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(type.get(), &size);
        if (utf8 == nullptr) return false;
        name.assign(utf8, static_cast<std::size_t>(size));
    }
    if (!find_op(name, out.op)) {
        raise_value_error(msg::format_message(msg::kUnknownOp, {name}));
        return false;
    }
    out.scalar = 0.0f;
    out.band_index = 0;
    const char* key = op_info(out.op).operand_key;
    if (key == nullptr) return true;
    PyRef operand = lookup(item, key);
    if (!operand) return false;
    return out.op == OpCode::PushBand ? to_uint64(operand.get(), out.band_index)
                                      : to_float32(operand.get(), out.scalar);
}

}  // namespace

PyObject* compile_expr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_arguments({"compile_expr", kParams}, args, nargs, kwnames, bound)) return nullptr;
        // The items are held here, so code run by a lookup cannot pull them from under the compiler.
        std::vector<PyRef> items;
        if (!collect_sequence(bound[0], items, [](PyObject* item) { return PyRef::borrow(item); })) {
            prefix_argument_error("instructions");
            return nullptr;
        }
        std::uint64_t num_bands = 0;
        if (!uint64_argument(bound[1], "num_bands", num_bands)) return nullptr;

        std::vector<ExprOp> ops;
        ops.reserve(items.size());
        for (const PyRef& item : items) {
            ExprOp op{};
            if (!decode(item.get(), op)) return nullptr;
            ops.push_back(op);
        }
        items.clear();
        return new_compiled_expr(std::move(ops), num_bands);
    });
}

}  // namespace vexlora
