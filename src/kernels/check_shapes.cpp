// The shape check of the kernel frame and the printing of shapes as [rows, cols].
// Only shapes are compared: strides, element types and data are not looked at.
#include "kernels/check_shapes.hpp"

#include "binding/messages.hpp"

namespace vexlora {
namespace {

std::string print_shape(const Shape2& s) {
    std::string out = "[";
    out.append(std::to_string(s[0])).append(", ").append(std::to_string(s[1])).append("]");
    return out;
}

}  // namespace

std::optional<std::string> check_shapes(std::span<const Shape2> shapes) {
    for (std::size_t k = 1; k < shapes.size(); ++k) {
        if (shapes[k] != shapes[0]) {
            return msg::format_message(msg::kShapeMismatch,
                                       {std::to_string(k), print_shape(shapes[0]), print_shape(shapes[k])});
        }
    }
    return std::nullopt;
}

}  // namespace vexlora
