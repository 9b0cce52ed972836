#pragma once

#include <cstdint>

namespace kx7::platform {

struct OsVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
};

class SystemInfo {
 public:
  virtual ~SystemInfo() = default;
  // GetVersionExA's major and minor version.
  virtual OsVersion osVersion() = 0;
};

// Every fixed wait of the library goes through here.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void sleep(std::uint32_t milliseconds) = 0;
};

}  // namespace kx7::platform
