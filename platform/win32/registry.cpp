// advapi32's registry calls. An open key travels as its HKEY value.
#include <windows.h>

#include <limits>

#include "platform/win32/backend.h"
#include "platform/win32/native.h"

namespace kx7::platform::win32 {

namespace {

HKEY RootKey(RegistryRoot root) {
  return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

HKEY NativeKey(RegistryKey key) {
  return reinterpret_cast<HKEY>(key.value);
}

RegistryKey KeyOf(HKEY key) {
  return RegistryKey{reinterpret_cast<std::uintptr_t>(key)};
}

}  // namespace

std::optional<RegistryKey> Win32Registry::openKey(RegistryRoot root, std::string_view path,
                                                  std::uint32_t access) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(RootKey(root), Terminated(path).c_str(), 0, access, &key) != ERROR_SUCCESS)
    return std::nullopt;
  return KeyOf(key);
}

std::optional<RegistryKey> Win32Registry::createKey(RegistryRoot root, std::string_view path) {
  HKEY key = nullptr;
  if (RegCreateKeyA(RootKey(root), Terminated(path).c_str(), &key) != ERROR_SUCCESS)
    return std::nullopt;
  return KeyOf(key);
}

bool Win32Registry::queryValue(RegistryKey key, std::string_view name,
                               std::span<std::uint8_t> buffer, std::uint32_t& length) {
  if (buffer.size() > std::numeric_limits<DWORD>::max()) return false;
  DWORD size = static_cast<DWORD>(buffer.size());
  // With no buffer at all the call reports success and the size it needs.
  if (RegQueryValueExA(NativeKey(key), Terminated(name).c_str(), nullptr, nullptr, buffer.data(),
                       &size) != ERROR_SUCCESS ||
      size > buffer.size())
    return false;
  length = size;
  return true;
}

bool Win32Registry::setValue(RegistryKey key, std::string_view name, RegistryType type,
                             std::span<const std::uint8_t> data) {
  if (data.size() > std::numeric_limits<DWORD>::max()) return false;
  static const BYTE kNoData = 0;
  return RegSetValueExA(NativeKey(key), Terminated(name).c_str(), 0, static_cast<DWORD>(type),
                        data.empty() ? &kNoData : data.data(),
                        static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

void Win32Registry::closeKey(RegistryKey key) {
  RegCloseKey(NativeKey(key));
}

}  // namespace kx7::platform::win32
