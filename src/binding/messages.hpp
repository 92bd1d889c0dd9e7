// Every exact text that the module shows to Python, defined once.
// Formats use "{}" placeholders, filled in order by format_message().
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace vexlora::msg {

// Binding (fast-call arguments).
inline constexpr std::string_view kTooManyPositional = "{} takes {} positional arguments but {} {} given";
inline constexpr std::string_view kMultipleValues = "{} got multiple values for argument '{}'";
inline constexpr std::string_view kUnexpectedKeyword = "{} got an unexpected keyword argument '{}'";
inline constexpr std::string_view kMissingArguments = "{} missing {} required {} {}: ";
inline constexpr std::string_view kArgumentPrefix = "argument '{}': {}";

// Conversion.
inline constexpr std::string_view kCannotConvert = "'{}' object cannot be converted to '{}'";
inline constexpr std::string_view kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";
inline constexpr std::string_view kTargetArray = "PyArray<T, D>";
inline constexpr std::string_view kTargetSequence = "Sequence";
inline constexpr std::string_view kTargetString = "PyString";
inline constexpr std::string_view kTargetList = "PyList";
inline constexpr std::string_view kTargetCompiledExpr = "CompiledExpr";

// Checks of the function bodies.
inline constexpr std::string_view kShapeMismatch = "Shape mismatch at index {}: expected {}, got {}";
inline constexpr std::string_view kUnknownOp = "Unknown op: {}";
inline constexpr std::string_view kBandCountMismatch = "Band count mismatch.";

// Internal failures (raised as PanicException).
inline constexpr std::string_view kBorrowRefused = "called `Result::unwrap()` on an `Err` value: {}";
inline constexpr std::string_view kAlreadyBorrowed = "AlreadyBorrowed";
inline constexpr std::string_view kNotWriteable = "NotWriteable";
inline constexpr std::string_view kNumpyApiUnavailable = "Failed to access NumPy array API capsule";
inline constexpr std::string_view kBorrowApiError = "Interal borrow checking API error";
inline constexpr std::string_view kPythonApiCallFailed = "Python API call failed";
inline constexpr std::string_view kPoolMissing =
    "The global thread pool has not been initialized. Its worker threads could not be started.";
inline constexpr std::string_view kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr std::string_view kScratchUnavailable = "memory allocation failed: pixel-loop scratch memory";
inline constexpr std::string_view kAppendAllFailed = "could not append __name__ to __all__";
inline constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr std::string_view kUncaughtPanic = "uncaught panic at ffi boundary";

// Band-math run-time failures.
inline constexpr std::string_view kIndexOutOfBounds = "index out of bounds: the len is {} but the index is {}";
inline constexpr std::string_view kNdarrayOutOfBounds = "ndarray: index out of bounds";

// Module initialisation.
inline constexpr std::string_view kSubinterpreters =
    "vexlora: extension modules of this kind do not yet support subinterpreters, "
    "see https://github.com/vexlora/vexlora/issues/1";
inline constexpr std::string_view kClassInitFailed = "An error occurred while initializing class {}";
inline constexpr std::string_view kNoConstructor = "No constructor defined for {}";

// Fills the "{}" placeholders of `format` with `args`, in order.
inline std::string format_message(std::string_view format, std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(format.size() + 32);
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '{' && i + 1 < format.size() && format[i + 1] == '}' && next != args.end()) {
            out.append(*next++);
            ++i;
        } else {
            out.push_back(format[i]);
        }
    }
    return out;
}

}  // namespace vexlora::msg
