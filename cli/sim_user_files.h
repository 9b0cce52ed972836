#pragma once

// The user's files on a simulated player: the files in the root of its data
// drive, kept in the simulated host's own store (<H>:\Temp\kx7fw-files\).

#include <memory>

#include "cli/user_files.h"
#include "sim/world.h"

namespace kx7::cli {

std::unique_ptr<UserFiles> MakeSimUserFiles(sim::World& world);

}  // namespace kx7::cli
