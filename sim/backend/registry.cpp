#include <cstring>

#include "sim/backend/backends.h"

namespace kx7::sim {

namespace {

// A sub-key path never starts at a separator: Windows answers
// ERROR_BAD_PATHNAME.
bool IsSubKeyPath(std::string_view path) {
  return path.empty() || path.front() != '\\';
}

}  // namespace

std::optional<platform::RegistryKey> SimRegistry::openKey(platform::RegistryRoot root,
                                                          std::string_view path,
                                                          std::uint32_t access) {
  const auto guard = world_.lock();
  const std::string text(path);
  if (!IsSubKeyPath(path) || world_.faults().registryOpenFails(text) ||
      !world_.registry().hasKey(root, path))
    return std::nullopt;
  const std::uintptr_t handle = next_++;
  keys_[handle] = OpenKey{root, text, access};
  return platform::RegistryKey{handle};
}

std::optional<platform::RegistryKey> SimRegistry::createKey(platform::RegistryRoot root,
                                                            std::string_view path) {
  const auto guard = world_.lock();
  const std::string text(path);
  if (!IsSubKeyPath(path) || world_.faults().registryOpenFails(text) ||
      world_.faults().registryCreateFails(text))
    return std::nullopt;
  world_.registry().createKey(root, path);
  const std::uintptr_t handle = next_++;
  keys_[handle] = OpenKey{
      root, text, platform::registry_access::kSetValue | platform::registry_access::kQueryValue};
  return platform::RegistryKey{handle};
}

bool SimRegistry::queryValue(platform::RegistryKey key, std::string_view name,
                             std::span<std::uint8_t> buffer, std::uint32_t& length) {
  const auto guard = world_.lock();
  const auto it = keys_.find(key.value);
  if (it == keys_.end() || !(it->second.access & platform::registry_access::kQueryValue))
    return false;
  if (world_.faults().registryQueryFails(std::string(name))) return false;
  const RegistryStore::Value* value =
      world_.registry().value(it->second.root, it->second.path, name);
  if (!value || value->data.size() > buffer.size()) return false;  // ERROR_MORE_DATA
  // An empty value copies nothing (and has no bytes to copy from).
  if (!value->data.empty()) std::memcpy(buffer.data(), value->data.data(), value->data.size());
  length = static_cast<std::uint32_t>(value->data.size());
  return true;
}

bool SimRegistry::setValue(platform::RegistryKey key, std::string_view name,
                           platform::RegistryType type, std::span<const std::uint8_t> data) {
  const auto guard = world_.lock();
  const auto it = keys_.find(key.value);
  const bool ok = it != keys_.end() && (it->second.access & platform::registry_access::kSetValue) &&
                  !world_.faults().registryWriteFails(it->second.path);
  if (ok)
    world_.registry().setValue(it->second.root, it->second.path, name, type,
                               {data.begin(), data.end()});
  const std::string root = it == keys_.end()                                         ? ""
                           : it->second.root == platform::RegistryRoot::LocalMachine ? "HKLM\\"
                                                                                     : "HKCU\\";
  world_.record(Event{.kind = EventKind::RegistryWrite,
                      .target = it == keys_.end() ? "" : root + it->second.path,
                      .name = std::string(name),
                      .bytes = {data.begin(), data.end()},
                      .length = it == keys_.end() ? 0 : it->second.access,
                      .value = static_cast<std::uint64_t>(type),
                      .ok = ok});
  return ok;
}

void SimRegistry::closeKey(platform::RegistryKey key) {
  const auto guard = world_.lock();
  keys_.erase(key.value);
}

}  // namespace kx7::sim
