#include "sim/host/registry_store.h"

#include "sim/host/text.h"

namespace kx7::sim {

RegistryStore::Key RegistryStore::MakeKey(platform::RegistryRoot root, std::string_view path) {
  std::string normal = Upper(path);
  while (!normal.empty() && normal.back() == '\\') normal.pop_back();
  while (!normal.empty() && normal.front() == '\\') normal.erase(normal.begin());
  return {root, normal};
}

void RegistryStore::createKey(platform::RegistryRoot root, std::string_view path) {
  const Key key = MakeKey(root, path);
  for (std::size_t pos = key.second.find('\\'); pos != std::string::npos;
       pos = key.second.find('\\', pos + 1))
    keys_.try_emplace(Key{root, key.second.substr(0, pos)});
  keys_.try_emplace(key);
}

bool RegistryStore::hasKey(platform::RegistryRoot root, std::string_view path) const {
  return keys_.count(MakeKey(root, path)) != 0;
}

void RegistryStore::removeKey(platform::RegistryRoot root, std::string_view path) {
  keys_.erase(MakeKey(root, path));
}

void RegistryStore::setValue(platform::RegistryRoot root, std::string_view path,
                             std::string_view name, platform::RegistryType type,
                             std::vector<std::uint8_t> data) {
  createKey(root, path);
  keys_[MakeKey(root, path)][Upper(name)] = Value{std::string(name), type, std::move(data)};
}

void RegistryStore::setString(platform::RegistryRoot root, std::string_view path,
                              std::string_view name, std::string_view text) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  setValue(root, path, name, platform::RegistryType::String, std::move(data));
}

void RegistryStore::setDword(platform::RegistryRoot root, std::string_view path,
                             std::string_view name, std::uint32_t value) {
  setValue(root, path, name, platform::RegistryType::Dword,
           {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

void RegistryStore::removeValue(platform::RegistryRoot root, std::string_view path,
                                std::string_view name) {
  if (auto it = keys_.find(MakeKey(root, path)); it != keys_.end()) it->second.erase(Upper(name));
}

const RegistryStore::Value* RegistryStore::value(platform::RegistryRoot root, std::string_view path,
                                                 std::string_view name) const {
  const auto key = keys_.find(MakeKey(root, path));
  if (key == keys_.end()) return nullptr;
  const auto value = key->second.find(Upper(name));
  return value == key->second.end() ? nullptr : &value->second;
}

bool RegistryStore::dword(platform::RegistryRoot root, std::string_view path, std::string_view name,
                          std::uint32_t& out) const {
  const Value* v = value(root, path, name);
  if (!v || v->data.size() != 4) return false;
  out = std::uint32_t{v->data[0]} | std::uint32_t{v->data[1]} << 8 |
        std::uint32_t{v->data[2]} << 16 | std::uint32_t{v->data[3]} << 24;
  return true;
}

}  // namespace kx7::sim
