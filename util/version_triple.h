#pragma once

#include <array>
#include <cstdint>

namespace kx7 {

// A firmware version as drives and SB files carry it: major, minor,
// revision. Shown as "%01d.%02d" from major and minor.
using VersionTriple = std::array<std::uint16_t, 3>;

}  // namespace kx7
