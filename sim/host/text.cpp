#include "sim/host/text.h"

#include <algorithm>
#include <vector>

namespace kx7::sim {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

char UpperLetter(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameText(std::string_view a, std::string_view b) {
  return Upper(a) == Upper(b);
}

bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
  return Upper(haystack).find(Upper(needle)) != std::string::npos;
}

std::string NormalPath(std::string_view path) {
  std::string out = Upper(path);
  std::replace(out.begin(), out.end(), '/', '\\');
  if (out.size() >= 2 && out[1] == ':') {
    // Windows reads a run of separators as one and resolves "." and ".."
    // before it looks at the disk; ".." stops at the drive's root.
    std::vector<std::string> segments;
    std::size_t start = 2;
    while (start <= out.size()) {
      std::size_t end = out.find('\\', start);
      if (end == std::string::npos) end = out.size();
      const std::string segment = out.substr(start, end - start);
      if (segment == "..") {
        if (!segments.empty()) segments.pop_back();
      } else if (!segment.empty() && segment != ".") {
        segments.push_back(segment);
      }
      start = end + 1;
    }
    std::string normal = out.substr(0, 2) + "\\";
    for (std::size_t i = 0; i < segments.size(); ++i) normal += (i ? "\\" : "") + segments[i];
    return normal;
  }
  while (out.size() > 3 && out.back() == '\\') out.pop_back();
  return out;
}

bool SamePath(std::string_view a, std::string_view b) {
  return NormalPath(a) == NormalPath(b);
}

std::string Utf16Le(std::string_view ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

}  // namespace kx7::sim
