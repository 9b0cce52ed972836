#pragma once

// The registry values the library writes to suppress AutoPlay, kept in a
// small per-user file: there is no machine-wide registry to write to on
// Linux, and nothing on Linux reads these values back but the library.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace kx7::linux_backend {

class AutoplayStore {
 public:
  // `file`: where the values live ("" when the user has no state folder).
  explicit AutoplayStore(std::string file) : file_(std::move(file)) {}

  // A value's bytes; nothing when it was never written.
  std::optional<std::vector<std::uint8_t>> value(platform::RegistryRoot root, std::string_view key,
                                                 std::string_view name) const;
  // Writes the value, replacing an earlier one; false when the file cannot
  // be written.
  bool setValue(platform::RegistryRoot root, std::string_view key, std::string_view name,
                platform::RegistryType type, std::span<const std::uint8_t> data);

 private:
  struct Entry {
    std::string root;
    std::string key;
    std::string name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
  };
  std::vector<Entry> load() const;

  std::string file_;
};

}  // namespace kx7::linux_backend
