#pragma once

#include <string>
#include <vector>

#include "fault_matrix/fault_matrix.h"
#include "sim/world.h"

namespace kx7::matrix {

// What running one row showed.
struct Observed {
  int result = -1;
  Left left;
  // Invariants the run broke, and a fault that never struck where it was
  // aimed; empty when all is well.
  std::vector<std::string> violations;
};

// Builds the row's world, runs its operation through a Library with the
// fault in place, lets the player settle and looks at what is left. The
// host is Windows 7 unless another is given; rows about Windows XP keep XP.
Observed RunRow(const Row& row, sim::OsPreset host = sim::OsPreset::Windows7);

}  // namespace kx7::matrix
