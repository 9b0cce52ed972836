#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kx7::platform {

// A file opened for reading.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Size as a seek to the end reports it; nothing when the seek fails.
  virtual std::optional<std::uint64_t> size() = 0;
  // Reads up to out.size() bytes from `offset`; returns how many arrived.
  virtual std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
};

enum class OpenMode { Text, Binary };

// Files and folders on the host's drives, and the host's own module path.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // GetModuleFileNameA(NULL): the full path of the host process's executable.
  virtual std::string modulePath() = 0;
  // CreateDirectoryA; true only when the folder was created now.
  virtual bool createDirectory(std::string_view path) = 0;
  // CopyFileA with fail-if-exists: never overwrites.
  virtual bool copyFileNoOverwrite(std::string_view from, std::string_view to) = 0;
  // PathFileExistsA.
  virtual bool pathExists(std::string_view path) = 0;
  // Opens a file for reading; null when it cannot be opened.
  virtual std::unique_ptr<InputFile> openForReading(std::string_view path, OpenMode mode) = 0;
};

}  // namespace kx7::platform
