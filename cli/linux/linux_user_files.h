#pragma once

// The user's files on a real player's data partition (data_mount.h), kept
// in the state folder (kept/SERIAL/) while a recovery erases it.

#include <memory>

#include "cli/user_files.h"
#include "platform/linux/linux_backend.h"

namespace kx7::cli {

std::unique_ptr<UserFiles> MakeLinuxUserFiles(const linux_backend::LinuxConfig& config);

}  // namespace kx7::cli
