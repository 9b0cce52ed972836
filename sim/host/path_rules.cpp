#include "sim/host/path_rules.h"

#include <array>
#include <vector>

#include "sim/host/text.h"

namespace kx7::sim {

namespace {

std::vector<std::string> Components(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = path.size();
    parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool IsDotsOnly(std::string_view part) {
  return !part.empty() && part.find_first_not_of('.') == std::string_view::npos;
}

bool IsDeviceName(std::string_view part) {
  std::string base = Upper(part.substr(0, part.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static constexpr std::array<std::string_view, 4> kDevices = {"CON", "PRN", "AUX", "NUL"};
  for (std::string_view device : kDevices)
    if (base == device) return true;
  return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

bool HasForbiddenCharacter(std::string_view part) {
  for (char c : part) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || std::string_view("<>:\"|?*").find(c) != std::string_view::npos) return true;
  }
  return false;
}

// Where the components after the drive start ("C:\x" -> 3).
std::size_t AfterDrive(std::string_view path) {
  return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/') ? 3 : 0;
}

}  // namespace

std::string TrimmedPath(std::string_view path) {
  const std::size_t head = AfterDrive(path);
  std::vector<std::string> parts = Components(path.substr(head));
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::string& part = parts[i];
    if (part.empty() || IsDotsOnly(part)) continue;  // "." and ".." are resolved elsewhere
    if (i + 1 == parts.size()) {
      while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    } else if (part.back() == '.') {
      part.pop_back();
    }
  }
  std::string out(path.substr(0, head));
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "\\" : "") + parts[i];
  return out;
}

bool IsNameablePath(std::string_view path) {
  for (const std::string& part : Components(path.substr(AfterDrive(path))))
    if (HasForbiddenCharacter(part) || IsDeviceName(part)) return false;
  return true;
}

}  // namespace kx7::sim
