#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kx7::linux_backend {

// Where the backend looks. The defaults are those of a real system; tests
// point them elsewhere.
struct LinuxConfig {
  // What is mounted: decides which disks may be locked and where a drive
  // letter's files are.
  std::string mountInfoPath = "/proc/self/mountinfo";
  // The per-user state folder (the library's Temp folder and the AutoPlay
  // values). Empty: $XDG_STATE_HOME/kx7fw, else ~/.local/state/kx7fw.
  std::string stateDirectory;
  // Block devices (kernel names such as "loop3") to offer as drive letters
  // beside the USB disks.
  std::vector<std::string> extraDisks;
  // How long a rewritten partition table may take to show its partition
  // nodes, set up by udev.
  std::chrono::milliseconds partitionSettleTimeout{10000};
  // How long the whole-disk claim a lock took outlives the lock, so that
  // udevd leaves the disk alone between the handles of one format.
  std::chrono::milliseconds diskClaimLinger{5000};
};

}  // namespace kx7::linux_backend
