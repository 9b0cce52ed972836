#pragma once

// What the tool's last update on this machine came to, kept in its state
// folder: a player found in ROM recovery mode after an update that stopped
// before its first erase still holds its old firmware, and is better
// unplugged and plugged in again than rebuilt.

#include <cstdint>
#include <optional>
#include <string>

namespace kx7::cli {

struct LastRun {
  std::string command;  // "update"
  std::string serial;
  std::string outcome;  // "done", "failed", "stopped"
  bool rewriteBegan = false;
  std::int64_t when = 0;  // seconds since the epoch
};

// Nothing is kept when `folder` is "" (a simulated world ends with its run).
void RecordLastRun(const std::string& folder, LastRun run);
std::optional<LastRun> ReadLastRun(const std::string& folder);

// Whether a player in ROM recovery mode is more likely the one `run` left
// there before its first erase, `now` being the time: an update that did
// not finish, did not begin rewriting and ended within the last day.
bool LeftBeforeFirstErase(const LastRun& run, std::int64_t now);

}  // namespace kx7::cli
