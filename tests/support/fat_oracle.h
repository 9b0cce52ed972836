#pragma once

// Outside tools that judge a FAT volume the library laid down: dosfstools'
// fsck.fat and mtools.

#include <optional>
#include <string>
#include <vector>

namespace kx7::test {

struct ToolRun {
  int exitCode = -1;
  std::string output;  // standard output and error together
};

// The tool's path, looked up in PATH and the system folders; nothing when
// it is not installed.
std::optional<std::string> FindTool(const std::string& name);

// Runs a command line through the shell.
ToolRun RunTool(const std::string& commandLine);

// What `fsck.fat -n -v` says of a volume image that is not a plain report:
// every complaint except those the layout causes on purpose (a label field
// left zero, an unset FAT32 free-cluster count).
struct FsckVerdict {
  int exitCode = -1;
  std::vector<std::string> complaints;
  std::string output;
};
FsckVerdict CheckWithFsck(const std::string& fsck, const std::string& volumeImage);

// A value of `minfo`'s report ("sector size: 512 bytes" -> "512 bytes",
// "disk type=\"FAT16   \"" -> "\"FAT16   \"").
std::string MinfoField(const std::string& report, const std::string& name);

}  // namespace kx7::test
