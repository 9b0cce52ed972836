#include "sim/text.h"

#include <algorithm>

namespace kx7::sim {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool SameText(std::string_view a, std::string_view b) { return Upper(a) == Upper(b); }

bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
  return Upper(haystack).find(Upper(needle)) != std::string::npos;
}

std::string NormalPath(std::string_view path) {
  std::string out = Upper(path);
  std::replace(out.begin(), out.end(), '/', '\\');
  while (out.size() > 3 && out.back() == '\\') out.pop_back();
  return out;
}

bool SamePath(std::string_view a, std::string_view b) { return NormalPath(a) == NormalPath(b); }

std::string Utf16Le(std::string_view ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

}  // namespace kx7::sim
