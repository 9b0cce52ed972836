#pragma once

// Case-insensitive text tests over single-byte text. Only ASCII letters fold:
// the process locale (which the library sets to the user's) must not change
// what matches.

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace kx7 {

constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

// StrStrIA: whether `needle` occurs in `haystack`, ignoring letter case. Like
// StrStrIA, an empty needle finds nothing: an unread serial or prefix must not
// match every drive.
constexpr bool ContainsIgnoreCase(std::string_view haystack, std::string_view needle) {
  return !needle.empty() && std::search(haystack.begin(), haystack.end(), needle.begin(),
                                        needle.end(), [](char x, char y) {
                                          return AsciiLower(x) == AsciiLower(y);
                                        }) != haystack.end();
}

}  // namespace kx7
