#pragma once

#include <string>
#include <string_view>

namespace kx7::sim {

// Windows compares paths, registry names and device ids without regard to
// ASCII letter case.
std::string Upper(std::string_view text);
char UpperLetter(char c);
bool SameText(std::string_view a, std::string_view b);
bool ContainsNoCase(std::string_view haystack, std::string_view needle);
// Paths compare like SameText, with '/' taken as '\', a run of separators as
// one and "." and ".." resolved, as Windows reads them.
bool SamePath(std::string_view a, std::string_view b);
std::string NormalPath(std::string_view path);

// UTF-16LE bytes of an ASCII text, as the registry stores device paths.
std::string Utf16Le(std::string_view ascii);

}  // namespace kx7::sim
