#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx7::sim {

// Recipe for an SB boot-image file as the player's firmware files come: the
// fields the updater reads sit where they sit in the real format, the rest is
// deterministic filler.
struct SbFileSpec {
  // "sgtl" at 0x34 and versions at 0x40..0x54; otherwise the older layout
  // with versions at 0x18..0x2C.
  bool newerLayout = true;
  std::string signature = "STMP";  // four bytes at 0x14
  // Decimal version numbers (major, minor, revision), stored as four BCD
  // digits each.
  std::array<std::uint16_t, 3> productVersion = {1, 2, 3};
  std::array<std::uint16_t, 3> componentVersion = {1, 2, 3};
  // Stored bytes of the six version slots (product then component), taking
  // the place of the two triples above; lets a file hold non-BCD nibbles.
  std::optional<std::array<std::array<std::uint8_t, 2>, 6>> rawVersions;
  std::size_t size = 4096;
  std::uint32_t seed = 1;  // varies the filler
};

std::vector<std::uint8_t> BuildSbFile(const SbFileSpec& recipe);

// Two bytes of four BCD digits, most significant first: 123 -> 01 23.
std::array<std::uint8_t, 2> EncodeBcd(std::uint16_t decimal);

}  // namespace kx7::sim
