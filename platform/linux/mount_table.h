#pragma once

// What is mounted where, from a mountinfo file (/proc/self/mountinfo).

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace kx7::linux_backend {

struct MountEntry {
  dev_t device = 0;
  std::string mountPoint;
  std::string fsType;
  std::string source;
};

// Lines that cannot be read are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);

// Reads and parses the file; empty when it cannot be read.
std::vector<MountEntry> ReadMountInfo(const std::string& path);

}  // namespace kx7::linux_backend
