#pragma once

// What Windows does to a path before any file system sees it, and the paths
// it refuses outright. The simulated host applies the same rules, so that a
// path that could not work on Windows cannot work here either.

#include <cstddef>
#include <string>
#include <string_view>

namespace kx7::sim {

// MAX_PATH less its terminator: the longest path the ANSI file calls take.
inline constexpr std::size_t kMaxPathChars = 259;
// CreateDirectoryA leaves room for an 8.3 name below the new folder.
inline constexpr std::size_t kMaxDirectoryPathChars = 247;

// The last component loses all its trailing dots and spaces, every other
// component a single trailing dot: "C:\Temp\ABC." names "C:\Temp\ABC", and
// "C:\Temp\. " names "C:\Temp" itself.
std::string TrimmedPath(std::string_view path);

// Whether the path can name a file or folder at all: no component after the
// drive holds one of <>:"|?* or a control character, and none is a device
// name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, with or without an
// extension or trailing spaces).
bool IsNameablePath(std::string_view path);

}  // namespace kx7::sim
