#include "cli/command_support.h"

#include <algorithm>
#include <cstdio>

#include "cli/console.h"
#include "cli/manifest.h"
#include "firmware/image_table.h"

namespace kx7::cli {

namespace {
constexpr std::uint32_t kComebackPollMs = 1000;
constexpr int kComebackTries = 30;
}  // namespace

std::string ShortVersion(const VersionTriple& v) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%02u", v[0], v[1]);
  return text;
}

std::vector<std::string> PlayerLines(Context& c, const std::vector<PlayerEntry>& players) {
  std::vector<std::string> lines;
  for (const PlayerEntry& p : players) {
    const auto firmware = FirmwareAt(c.library, p.letter);
    lines.push_back(p.serial + " at " + std::string(1, p.letter) + ": (firmware " +
                    (firmware ? ShortVersion(*firmware) : std::string("?")) + ")");
  }
  return lines;
}

Chosen ChoosePlayer(Context& c, const Target& target, const std::string& doing) {
  Chosen chosen;
  std::vector<PlayerEntry> players;
  for (const PlayerEntry& p : ListPlayers(c.library))
    if (p.mode == "normal" && p.letter) players.push_back(p);
  const auto listed = [&] {
    nlohmann::json list = nlohmann::json::array();
    const std::vector<std::string> lines = PlayerLines(c, players);
    for (std::size_t i = 0; i < players.size(); ++i) {
      c.report.Say("  " + lines[i]);
      list.push_back(
          {{"serial", players[i].serial}, {"letter", std::string(1, players[i].letter)}});
    }
    c.report.Data()["players"] = list;
  };
  if (target.serialGiven) {
    const auto it = std::find_if(players.begin(), players.end(),
                                 [&](const PlayerEntry& p) { return p.serial == target.serial; });
    if (it != players.end()) {
      chosen.kind = Chosen::Kind::Player;
      chosen.player = *it;
      return chosen;
    }
    // A player in ROM recovery mode shows no serial: the caller may know it.
    if (players.empty() && !RecoveryDevicePaths(c.library).empty()) return chosen;
    if (!players.empty()) {
      c.report.Say("players in mass-storage mode:");
      listed();
    }
    chosen.kind = Chosen::Kind::Refused;
    chosen.exitCode = c.report.Refused("no player with serial " + target.serial +
                                       " is attached in mass-storage mode");
    return chosen;
  }
  if (players.size() == 1) {
    chosen.kind = Chosen::Kind::Player;
    chosen.player = players.front();
    return chosen;
  }
  if (players.empty()) return chosen;
  c.report.Say(std::to_string(players.size()) + " players are attached:");
  listed();
  chosen.kind = Chosen::Kind::Refused;
  c.report.Tell({std::nullopt, "unchanged", "nothing was sent to any player",
                 "name the one " + doing + ", for instance",
                 c.invocation.Command({c.report.Command(), players.front().serial})});
  chosen.exitCode = c.report.Refused(std::to_string(players.size()) +
                                     " players are attached and no serial was given");
  return chosen;
}

bool FolderUsable(Context& c, const std::string& folder, bool withBootlet) {
  platform::FileSystem& files = c.library.Services().files;
  std::vector<std::string> problems;
  for (const std::string& problem : CheckFirmwareFolder(files, folder, withBootlet))
    problems.push_back(folder + problem);
  std::vector<std::string> needed = {kFirmwareFileName, kUpdaterFileName};
  if (withBootlet) needed.push_back(kBootletFileName);
  const ManifestVerdict manifest = CheckManifest(files, folder, needed);
  for (const std::string& problem : manifest.problems) problems.push_back(folder + problem);
  for (const std::string& problem : problems) c.report.Say("  " + problem);
  c.report.Data()["folderProblems"] = problems;
  c.report.Data()["manifest"] =
      manifest.present ? nlohmann::json(manifest.problems.empty()) : nlohmann::json(nullptr);
  if (problems.empty() && manifest.present)
    c.report.Say("  " + folder + ": " + std::to_string(manifest.checked) + " files match " +
                 kManifestFileName);
  return problems.empty();
}

Feedback::StepTraffic WatchSteps(HostWorld& world) {
  return {[&world] { world.Traffic().MarkStep(); },
          [&world] { return world.Traffic().StepRefusal().value_or(""); },
          [&world] { return world.Traffic().StepUndelivered().value_or(""); }, nullptr,
          [&world](Step step) -> std::string {
            if (step != Step::SwitchToRecovery || world.Traffic().SwitchTaken()) return "";
            return "the player never took a RESET TO RECOVERY";
          }};
}

int Observed(Context& c, const std::function<int()>& operation) {
  c.library.SetProgressObserver(&c.feedback);
  const int result = operation();
  c.library.SetProgressObserver(nullptr);
  c.feedback.OperationEnded();
  return result;
}

std::string VersionWhenBack(Context& c, const std::string& serial) {
  for (int i = 0; i < kComebackTries; ++i) {
    const PlayerNow now = ProbePlayer(c.library, serial);
    if (now.mode == "normal" && !now.firmware.empty()) return now.firmware;
    c.world.Wait(kComebackPollMs);
  }
  return "";
}

void SayAccessProblem(Context& c) {
  if (const std::string problem = c.world.TakeAccessProblem(); !problem.empty()) {
    c.report.Say(problem);
    c.report.Data()["accessProblem"] = problem;
  }
}

void SaveStateIfAsked(Context& c, const std::string& folder) {
  if (c.saveState.empty()) return;
  std::string error;
  if (!c.world.SaveState(c.saveState, folder, error)) console::Err("kx7fw: " + error + "\n");
}

}  // namespace kx7::cli
