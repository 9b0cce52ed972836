#pragma once

#include <string>
#include <vector>

#include "fault_matrix/fault_matrix.h"

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
// fault in place, lets the player settle and looks at what is left.
Observed RunRow(const Row& row);

}  // namespace kx7::matrix
