#pragma once

#include <string>

#include "platform/linux/linux_config.h"

namespace kx7::linux_backend {

// The per-user state folder: the configured one, else $XDG_STATE_HOME/kx7fw,
// else ~/.local/state/kx7fw (home from $HOME, else the password database).
// "" when no home can be found.
std::string StateDirectory(const LinuxConfig& config);

// Creates the folder and any missing parents; true when it exists afterwards.
bool MakeDirectories(const std::string& path);

}  // namespace kx7::linux_backend
