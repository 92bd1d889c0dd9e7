// Binding by position and keyword, with the interpreter-style messages for
// too many, repeated, unexpected and missing arguments.
#include "binding/signature.hpp"

#include "binding/errors.hpp"
#include "binding/messages.hpp"
#include "binding/py_ref.hpp"

#include <cstring>
#include <string>

namespace vexlora {
namespace {

std::string call_name(const Signature& sig) { return std::string(sig.name) + "()"; }

bool raise_too_many(const Signature& sig, Py_ssize_t nargs) {
    raise_type_error(msg::format_message(
        msg::kTooManyPositional, {call_name(sig), std::to_string(sig.params.size()), std::to_string(nargs),
                                  nargs == 1 ? "was" : "were"}));
    return false;
}

bool raise_missing(const Signature& sig, const BoundArgs& out) {
    std::size_t missing[kMaxParams];
    std::size_t count = 0;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (out[i] == nullptr) missing[count++] = i;
    }
    std::string message = msg::format_message(
        msg::kMissingArguments,
        {call_name(sig), std::to_string(count), "positional", count == 1 ? "argument" : "arguments"});
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) message += count == 2 ? " and " : (k + 1 == count ? ", and " : ", ");
        message += '\'';
        message += sig.params[missing[k]];
        message += '\'';
    }
    raise_type_error(message);
    return false;
}

bool raise_unexpected(const Signature& sig, PyObject* keyword) {
    // Formatted by the interpreter (%U), so a keyword with NULs or lone surrogates passes unchanged.
    static_assert(msg::kUnexpectedKeyword == "{} got an unexpected keyword argument '{}'");
    PyRef message = PyRef::steal(
        PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", sig.name, keyword));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
}

// Index of the parameter whose name equals the keyword byte for byte, or -1.
Py_ssize_t find_parameter(const Signature& sig, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // a keyword without UTF-8 form names no parameter
        return -1;
    }
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (std::strlen(sig.params[i]) == static_cast<std::size_t>(size) &&
            std::memcmp(sig.params[i], utf8, static_cast<std::size_t>(size)) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArgs& out) {
    out.fill(nullptr);
    const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
    if (nargs > nparams) return raise_too_many(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (keyword == nullptr) return false;
        const Py_ssize_t index = find_parameter(sig, keyword);
        if (index < 0) return raise_unexpected(sig, keyword);
        if (out[static_cast<std::size_t>(index)] != nullptr) {
            raise_type_error(msg::format_message(msg::kMultipleValues, {call_name(sig), sig.params[index]}));
            return false;
        }
        out[static_cast<std::size_t>(index)] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (out[static_cast<std::size_t>(i)] == nullptr) return raise_missing(sig, out);
    }
    return true;
}

}  // namespace vexlora
