#pragma once

// Before an update the player's volumes must not be mounted: the library
// takes the whole disk for itself. With udisks2 they are released through
// `udisksctl`; otherwise the user is told which mounts to release.

#include <functional>
#include <string>
#include <vector>

#include "platform/linux/disk_mounts.h"

namespace kx7::cli {

// Runs a program with its arguments and returns its exit status, or -1 when
// it could not be started.
using CommandRunner = std::function<int(const std::vector<std::string>& argv)>;

// Unmounts each volume with `udisksctl unmount -b NODE` when `haveUdisks`;
// returns the volumes still mounted (all of them without udisks).
std::vector<linux_backend::MountedVolume> ReleaseMounts(
    const std::vector<linux_backend::MountedVolume>& mounts, bool haveUdisks,
    const CommandRunner& run);

// The message naming mounts the user must release; "" when there are none.
std::string StillMountedMessage(const std::vector<linux_backend::MountedVolume>& mounts);

// Whether `udisksctl` is on the PATH.
bool HaveUdisksctl();

// Runs a program found on the PATH; what it prints goes to our standard
// error.
int RunCommand(const std::vector<std::string>& argv);

}  // namespace kx7::cli
