#pragma once

// The layout bytes the library hands the system for a disk of one partition,
// written out here field by field for the tests to compare against.

#include <array>
#include <cstdint>

#include "util/byte_order.h"

namespace kx7::test {

// A DRIVE_LAYOUT_INFORMATION in the form the library writes it: one FAT
// partition from `first` to the end of `cylinders` whole cylinders, the
// other slots cleared.
inline std::array<std::uint8_t, 136> SinglePartitionLayout(std::uint32_t first,
                                                           std::uint64_t cylinders,
                                                           std::uint32_t sectorSize) {
  std::array<std::uint8_t, 136> layout{};
  PutLe32(&layout[0], 4);
  const std::uint64_t start = std::uint64_t{first} * sectorSize;
  PutLe64(&layout[8], start);
  PutLe64(&layout[16], cylinders * 255 * 63 * sectorSize - start);
  PutLe32(&layout[24], first);
  PutLe32(&layout[28], 1);
  layout[32] = 6;
  layout[34] = 1;
  layout[35] = 1;
  for (std::uint32_t slot = 1; slot < 4; ++slot) {
    PutLe32(&layout[8 + 32 * slot + 20], slot + 1);
    layout[8 + 32 * slot + 27] = 1;
  }
  return layout;
}

}  // namespace kx7::test
