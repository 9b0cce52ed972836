#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace kx7::sim {

// The simulated registry: two hives of keys holding typed values as bytes.
// Key paths and value names compare without regard to case, as on Windows.
class RegistryStore {
 public:
  struct Value {
    std::string name;
    platform::RegistryType type = platform::RegistryType::None;
    std::vector<std::uint8_t> data;
  };

  // Creates the key and its parents.
  void createKey(platform::RegistryRoot root, std::string_view path);
  bool hasKey(platform::RegistryRoot root, std::string_view path) const;
  void removeKey(platform::RegistryRoot root, std::string_view path);

  void setValue(platform::RegistryRoot root, std::string_view path, std::string_view name,
                platform::RegistryType type, std::vector<std::uint8_t> data);
  // REG_SZ with its terminator, as RegSetValueExA stores text.
  void setString(platform::RegistryRoot root, std::string_view path, std::string_view name,
                 std::string_view text);
  void setDword(platform::RegistryRoot root, std::string_view path, std::string_view name,
                std::uint32_t value);
  void removeValue(platform::RegistryRoot root, std::string_view path, std::string_view name);

  const Value* value(platform::RegistryRoot root, std::string_view path,
                     std::string_view name) const;
  // A REG_DWORD's value, if the value exists and holds four bytes.
  bool dword(platform::RegistryRoot root, std::string_view path, std::string_view name,
             std::uint32_t& out) const;

 private:
  using Key = std::pair<platform::RegistryRoot, std::string>;
  static Key MakeKey(platform::RegistryRoot root, std::string_view path);
  std::map<Key, std::map<std::string, Value>> keys_;
};

}  // namespace kx7::sim
