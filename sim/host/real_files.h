#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace kx7::sim {

// Folders of the real machine, seen from the simulated host: an absolute
// POSIX path ("/home/me/fw/firmware.sb") reaches the real file system, so
// that a host application can point the library at its own firmware files.
// Only reading goes through; whatever the library writes stays in the
// simulated world.
bool IsRealPath(std::string_view path);

// Whether the file or folder exists on the real machine.
bool RealPathExists(std::string_view path);

// A regular file of the real machine opened for reading; null when it cannot
// be opened. With `readableBytes` set, reads stop there although the size
// says more (a file that shrank after its size was taken).
std::unique_ptr<platform::InputFile> OpenRealFile(std::string_view path,
                                                  std::optional<std::uint64_t> readableBytes);

}  // namespace kx7::sim
