#include "sim/scenario/sb_file.h"

#include <algorithm>
#include <cstring>

namespace kx7::sim {

std::array<std::uint8_t, 2> EncodeBcd(std::uint16_t decimal) {
  const int d3 = decimal / 1000 % 10, d2 = decimal / 100 % 10, d1 = decimal / 10 % 10,
            d0 = decimal % 10;
  return {static_cast<std::uint8_t>(d3 << 4 | d2), static_cast<std::uint8_t>(d1 << 4 | d0)};
}

std::vector<std::uint8_t> BuildSbFile(const SbFileSpec& recipe) {
  std::vector<std::uint8_t> file(recipe.size);
  // Filler that differs from byte to byte and from file to file.
  std::uint32_t state = recipe.seed * 2654435761u + 12345u;
  for (std::uint8_t& b : file) {
    state = state * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(state >> 16);
  }
  const auto put = [&](std::size_t offset, const void* bytes, std::size_t length) {
    if (offset >= file.size()) return;
    std::memcpy(&file[offset], bytes, std::min(length, file.size() - offset));
  };

  put(0x14, recipe.signature.data(), std::min<std::size_t>(recipe.signature.size(), 4));
  if (recipe.newerLayout) {
    put(0x34, "sgtl", 4);
  } else if (file.size() >= 0x38 && std::memcmp(&file[0x34], "sgtl", 4) == 0) {
    file[0x34] = 0;  // the filler must not fake the newer layout
  }

  std::array<std::array<std::uint8_t, 2>, 6> slots{};
  if (recipe.rawVersions) {
    slots = *recipe.rawVersions;
  } else {
    for (int i = 0; i < 3; ++i) {
      slots[i] = EncodeBcd(recipe.productVersion[i]);
      slots[3 + i] = EncodeBcd(recipe.componentVersion[i]);
    }
  }
  const std::size_t base = recipe.newerLayout ? 0x40 : 0x18;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    // Each value sits at the start of a four-byte slot; the other two bytes
    // are not part of it.
    const std::uint8_t slot[4] = {slots[i][0], slots[i][1], 0, 0};
    put(base + 4 * i, slot, 4);
  }
  return file;
}

}  // namespace kx7::sim
