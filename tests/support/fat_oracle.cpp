#include "support/fat_oracle.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>

namespace kx7::test {

#ifdef _WIN32
// A Windows test run (under Wine) has neither dosfstools nor mtools: the
// cases that need them skip.
std::optional<std::string> FindTool(const std::string&) {
  return std::nullopt;
}

ToolRun RunTool(const std::string&) {
  return {};
}
#else
std::optional<std::string> FindTool(const std::string& name) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::stringstream folders(path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

ToolRun RunTool(const std::string& commandLine) {
  ToolRun run;
  FILE* pipe = popen((commandLine + " 2>&1").c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer;
  for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
    run.output.append(buffer.data(), n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}
#endif

FsckVerdict CheckWithFsck(const std::string& fsck, const std::string& volumeImage) {
  FsckVerdict verdict;
  const ToolRun run = RunTool("'" + fsck + "' -n -v '" + volumeImage + "'");
  verdict.exitCode = run.exitCode;
  verdict.output = run.output;
  // The report lines of -v, and the remarks the layout causes on purpose:
  // the boot sector's label field is left zero, the root directory's label
  // is zero-padded, and FAT32's free-cluster count is left for the system
  // to work out.
  static const std::regex kReport(
      R"(^(fsck\.fat .*|Checking .*|Boot sector contents:|System ID .*|Media byte .*|)"
      R"(\s*\d+ bytes per (logical sector|cluster)|\s*\d+ reserved sectors?|)"
      R"(First FAT starts at .*|\s*2 FATs, (16|32) bit entries|\s*\d+ bytes per FAT .*|)"
      R"(Root directory (starts at|start at cluster) .*|\s*\d+ root directory entries|)"
      R"(Data area starts at .*|\s*\d+ data clusters .*|\d+ sectors/track, \d+ heads|)"
      R"(\s*\d+ hidden sectors|\s*\d+ sectors total|Leaving filesystem unchanged\.|)"
      R"(.*: \d+ files?, \d+/\d+ clusters|Reclaiming unconnected clusters\.|)"
      R"(Label '' stored in boot sector is not valid\.|\s*Auto-removing label from boot sector\.|)"
      R"(Free cluster summary uninitialized \(should be \d+\)|Checking free cluster summary\.|)"
      R"(Volume label '.*' stored in root directory is not valid\.|\s*Auto-removing label\.|)$)");
  std::stringstream lines(run.output);
  for (std::string line; std::getline(lines, line);)
    if (!std::regex_match(line, kReport)) verdict.complaints.push_back(line);
  return verdict;
}

std::string MinfoField(const std::string& report, const std::string& name) {
  std::stringstream lines(report);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(name + ":", 0) == 0 || line.rfind(name + "=", 0) == 0) {
      std::string value = line.substr(name.size() + 1);
      value.erase(0, value.find_first_not_of(' '));
      return value;
    }
  return "";
}

}  // namespace kx7::test
