#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/linux/linux_config.h"

namespace kx7::linux_backend {

// The user a root process runs for: SUDO_USER, else PKEXEC_UID (not root).
struct InvokingUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};
std::optional<InvokingUser> UserBehindRoot();

// The per-user state folder: the configured one; for root running on behalf
// of a user (sudo, pkexec), that user's ~/.local/state/kx7fw; else
// $XDG_STATE_HOME/kx7fw, else ~/.local/state/kx7fw (home from $HOME, else
// the password database). "" when no home can be found.
std::string StateDirectory(const LinuxConfig& config);

// What root makes there belongs to the user it runs for.
void GiveToInvokingUser(const std::string& path);

// Creates the folder and any missing parents (those made given to the
// invoking user); true when it exists afterwards.
bool MakeDirectories(const std::string& path);

}  // namespace kx7::linux_backend
