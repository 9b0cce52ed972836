#pragma once

// What the commands share: choosing the player a command works on, the
// firmware folder's checks, following a library operation, and waiting for
// a player to come back.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/players.h"

namespace kx7::cli {

// The player a command works on: the one named, or the only one attached
// in mass-storage mode. Refused (and the report finished) when the serial
// names none of those attached, or when several are and none was named.
struct Chosen {
  enum class Kind { Player, None, Refused } kind = Kind::None;
  PlayerEntry player;
  int exitCode = 0;
};
Chosen ChoosePlayer(Context& c, const Target& target, const std::string& doing);

// The players in mass-storage mode, one line each, with their firmware.
std::vector<std::string> PlayerLines(Context& c, const std::vector<PlayerEntry>& players);

// Every file the procedure needs is there and loads as an SB file, and,
// when the folder has a manifest, matches it. Problems are said; true when
// there are none.
bool FolderUsable(Context& c, const std::string& folder, bool withBootlet);

// The feedback's view of each step's traffic.
Feedback::StepTraffic WatchSteps(HostWorld& world);

// Runs one library operation with the feedback following it.
int Observed(Context& c, const std::function<int()>& operation);

// The firmware version of the player with `serial` once it is back in
// normal mode, as an updater application waits for it; "" if it is not.
std::string VersionWhenBack(Context& c, const std::string& serial);

// A device node the last operation could not use, said when the system
// names one.
void SayAccessProblem(Context& c);

// The simulated players into --save-state's file, when asked.
void SaveStateIfAsked(Context& c, const std::string& folder);

// "1.01.0" from a triple; "2.03" as the player shows it.
std::string ShortVersion(const VersionTriple& version);

}  // namespace kx7::cli
