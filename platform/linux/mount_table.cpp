#include "platform/linux/mount_table.h"

#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>

namespace kx7::linux_backend {

namespace {

// Mount points and sources escape blanks, tabs, newlines and backslashes as
// three octal digits.
std::string Unescape(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() &&
        field.substr(i + 1, 3).find_first_not_of("01234567") == std::string_view::npos) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t start = line.find_first_not_of(' ', at);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(line.find(' ', start), line.size());
    fields.push_back(line.substr(start, end - start));
    at = end;
  }
  return fields;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);

    // id parent major:minor root mount-point options [optional...] - type source super
    const auto fields = Fields(line);
    if (fields.size() < 7) continue;
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (separator + 2 >= fields.size()) continue;
    unsigned major = 0;
    unsigned minor = 0;
    char colon = 0;
    std::istringstream numbers{std::string(fields[2])};
    if (!(numbers >> major >> colon >> minor) || colon != ':') continue;
    mounts.push_back(MountEntry{makedev(major, minor), Unescape(fields[4]),
                                std::string(fields[separator + 1]),
                                Unescape(fields[separator + 2])});
  }
  return mounts;
}

std::vector<MountEntry> ReadMountInfo(const std::string& path) {
  std::ifstream file(path);
  if (!file) return {};
  std::ostringstream text;
  text << file.rdbuf();
  return ParseMountInfo(text.str());
}

}  // namespace kx7::linux_backend
