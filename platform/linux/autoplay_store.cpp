#include "platform/linux/autoplay_store.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/linux/state_directory.h"
#include "util/ascii.h"

namespace kx7::linux_backend {

namespace {

// One value per line: root, key, name, type and the data in hex, separated
// by tabs. Keys and names never hold tabs or newlines.
const char* RootName(platform::RegistryRoot root) {
  return root == platform::RegistryRoot::LocalMachine ? "HKLM" : "HKCU";
}

std::string Hex(std::span<const std::uint8_t> data) {
  std::string text;
  char byte[3];
  for (std::uint8_t b : data) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    text += byte;
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(std::string(text.substr(i, 2)).c_str(), "%2x", &value) != 1)
      return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return bytes;
}

bool Plain(std::string_view text) {
  return text.find_first_of("\t\n\r") == std::string_view::npos;
}

std::string DirectoryOf(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : file.substr(0, slash);
}

}  // namespace

std::vector<AutoplayStore::Entry> AutoplayStore::load() const {
  std::vector<Entry> entries;
  std::ifstream in(file_);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (fields.size() == 4) fields.emplace_back();  // a value with no data
    if (fields.size() != 5) continue;
    auto data = FromHex(fields[4]);
    if (!data) continue;
    entries.push_back({fields[0], fields[1], fields[2],
                       static_cast<std::uint32_t>(std::strtoul(fields[3].c_str(), nullptr, 10)),
                       std::move(*data)});
  }
  return entries;
}

std::optional<std::vector<std::uint8_t>> AutoplayStore::value(platform::RegistryRoot root,
                                                              std::string_view key,
                                                              std::string_view name) const {
  if (file_.empty()) return std::nullopt;
  for (const Entry& entry : load())
    if (entry.root == RootName(root) && EqualsIgnoreCase(entry.key, key) &&
        EqualsIgnoreCase(entry.name, name))
      return entry.data;
  return std::nullopt;
}

bool AutoplayStore::setValue(platform::RegistryRoot root, std::string_view key,
                             std::string_view name, platform::RegistryType type,
                             std::span<const std::uint8_t> data) {
  if (file_.empty() || !Plain(key) || !Plain(name)) return false;
  std::vector<Entry> entries = load();
  std::erase_if(entries, [&](const Entry& e) {
    return e.root == RootName(root) && EqualsIgnoreCase(e.key, key) &&
           EqualsIgnoreCase(e.name, name);
  });
  entries.push_back({RootName(root),
                     std::string(key),
                     std::string(name),
                     static_cast<std::uint32_t>(type),
                     {data.begin(), data.end()}});

  // Written aside and renamed over the old file, so that it is never half
  // written.
  if (!MakeDirectories(DirectoryOf(file_))) return false;
  const std::string temporary = file_ + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (const Entry& e : entries)
      out << e.root << '\t' << e.key << '\t' << e.name << '\t' << e.type << '\t' << Hex(e.data)
          << '\n';
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), file_.c_str()) == 0;
}

}  // namespace kx7::linux_backend
