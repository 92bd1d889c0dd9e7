// check_shapes: the shape agreement of the arrays of one spectral call.
// Reports the first array whose shape differs from the first one's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vexlora {

using Shape2 = std::array<std::uint64_t, 2>;

// Empty when all shapes equal shapes[0]; otherwise the "Shape mismatch ..." message.
std::optional<std::string> check_shapes(std::span<const Shape2> shapes);

}  // namespace vexlora
