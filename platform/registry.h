#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kx7::platform {

enum class RegistryRoot { LocalMachine, CurrentUser };

// Access masks, as Windows defines them.
namespace registry_access {
inline constexpr std::uint32_t kQueryValue = 0x0001;
inline constexpr std::uint32_t kSetValue = 0x0002;
inline constexpr std::uint32_t kWow64_64Key = 0x0100;
inline constexpr std::uint32_t kRead = 0x20019;
}  // namespace registry_access

// Value types, as Windows defines them.
enum class RegistryType : std::uint32_t { None = 0, String = 1, Binary = 3, Dword = 4 };

struct RegistryKey {
  std::uintptr_t value = 0;
};

// advapi32's registry calls.
class Registry {
 public:
  virtual ~Registry() = default;
  // RegOpenKeyExA.
  virtual std::optional<RegistryKey> openKey(RegistryRoot root, std::string_view path,
                                             std::uint32_t access) = 0;
  // RegCreateKeyA: opens the key, creating it (and its parents) when missing.
  virtual std::optional<RegistryKey> createKey(RegistryRoot root, std::string_view path) = 0;
  // RegQueryValueExA into `buffer`: on success `length` is the number of
  // bytes the value holds. Fails when the value is missing or larger than the
  // buffer; the type is not reported.
  virtual bool queryValue(RegistryKey key, std::string_view name, std::span<std::uint8_t> buffer,
                          std::uint32_t& length) = 0;
  // RegSetValueExA.
  virtual bool setValue(RegistryKey key, std::string_view name, RegistryType type,
                        std::span<const std::uint8_t> data) = 0;
  // RegCloseKey.
  virtual void closeKey(RegistryKey key) = 0;
};

}  // namespace kx7::platform
