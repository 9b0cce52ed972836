#pragma once

// The build's backend for real players, as the tool sees it: the services,
// and what the tool does around an update on that system.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli/user_files.h"
#include "platform/platform.h"

namespace kx7::cli {

class RealBackend {
 public:
  virtual ~RealBackend() = default;
  virtual platform::Services Services() = 0;
  // What the tool runs on, for the first line of its report.
  virtual std::string Description() const = 0;
  // Makes the player's disk at `letter` free for the library to take for
  // itself (on Linux: its mounts released); "" when it is, else what the
  // user must do.
  virtual std::string PrepareDisk(char letter) = 0;
  // What PrepareDisk would have to release, without releasing anything
  // (for a check); "" when the disk is free.
  virtual std::string DiskInUse(char letter) = 0;
  // A device node the last operation could not use, as a message for the
  // user; "" when there was none. Forgotten afterwards.
  virtual std::string TakeAccessProblem() = 0;
  // Where a path the library names lands on this machine.
  virtual std::optional<std::string> HostPath(std::string_view path) = 0;
  // The players' files, to keep them over a recovery.
  virtual std::unique_ptr<UserFiles> MakeUserFiles() = 0;
  // The tool's own folder for what outlives a run ("" when there is none).
  virtual std::string StateFolder() = 0;
};

// Null when this build has no backend for real players.
std::unique_ptr<RealBackend> OpenRealBackend();

// The text of a system-specific command the tool offers (the udev rules on
// Linux); "" when the build has none.
std::string UdevRules();
// Where `cmake --install` puts the rules file, relative to the prefix.
std::string UdevRulesInstallPath();

}  // namespace kx7::cli
