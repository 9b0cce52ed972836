#pragma once

// A host for the host-integration cases: the simulated Windows, or the real
// Windows services (under Wine). The same cases run on both, which keeps the
// simulated host refusing what Windows refuses.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kx7::test {

class HostEnvironment {
 public:
  virtual ~HostEnvironment() = default;
  virtual platform::Services services() = 0;
  // A player's mass-storage volume: its letter, and files put into or taken
  // out of its root.
  virtual char playerLetter() const = 0;
  virtual void putPlayerFile(std::string_view name, std::span<const std::uint8_t> bytes) = 0;
  virtual void clearPlayer() = 0;
  // An empty folder on a host drive (no trailing separator).
  virtual std::string scratchFolder() const = 0;
  // Deletes a registry value, if it is there.
  virtual void removeValue(platform::RegistryRoot root, std::string_view key,
                           std::string_view name) = 0;
  // Windows refuses a few things Wine lets through (a colon or the name NUL
  // in a folder name, folder paths of 248 to 260 characters, copies to paths
  // longer than 259): false under Wine, where those cases are left out.
  virtual bool strictAsWindows() const = 0;
};

// A fresh environment: no backup folder, an empty player root and scratch
// folder.
std::unique_ptr<HostEnvironment> MakeHostEnvironment();

}  // namespace kx7::test
