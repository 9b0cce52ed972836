// kx7fw: the command-line updater. It is a host application like any other:
// it drives the library through the Library API, the way an updater
// application drives the twelve exports, on this build's real backend or on
// a simulated world.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "api/library.h"
#include "cli/command_support.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/feedback.h"
#include "cli/host_world.h"
#include "cli/real_backend.h"
#include "cli/report.h"
#include "sim/scenario/default_scenario.h"

namespace {

using namespace kx7::cli;

const char* const kExitCodes =
    "exit codes: 0 done (or the question answered), 1 the library or the player failed,\n"
    "2 wrong command line, 3 refused before anything was sent to the player (no such\n"
    "player, an unusable firmware folder, a file that cannot be written ...), 4 the tool\n"
    "itself failed; a held signal that stops the tool ends it by that signal";

struct GlobalOptions {
  std::optional<std::string> simulation;
  std::string trace;
  std::string log;
  std::string saveState;
  bool realTime = false;
  bool json = false;
  std::string progress = "auto";
};

ProgressStyle StyleFor(const GlobalOptions& g) {
  if (g.progress == "json") return ProgressStyle::Json;
  if (g.progress == "none") return ProgressStyle::None;
  if (g.progress == "plain") return ProgressStyle::Plain;
  return g.json ? ProgressStyle::None : ProgressStyle::Auto;
}

std::string ToolVersion() {
  // The library's own answers, from a library on a world of its own.
  kx7::sim::World world;
  kx7::Library library(world.services());
  char libraryVersion[64] = {};
  char apiVersion[64] = {};
  library.GetFWLibraryVersion(libraryVersion);
  library.GetAPIVersion(apiVersion);
  return std::string("kx7fw ") + KX7FW_VERSION + " (library " + libraryVersion + ", API " +
         apiVersion + ")";
}

// The serial and folder of a command, as the person meant them.
struct Positionals {
  std::string first;
  std::string second;
  CLI::Option* firstOption = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  console::Start();
  CLI::App app{"kx7fw - firmware updater of the Korvane Tessio Mirl player (KX7TMB)"};
  app.footer(kExitCodes);
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", std::function<std::string()>(ToolVersion));

  GlobalOptions g;
  app.add_option("--sim", g.simulation,
                 "run on a simulated world: the built-in one, or the one a scenario file "
                 "describes (may come after the command)")
      ->expected(0, 1)
      ->type_name("[SCENARIO.json]")
      ->default_str("");
  app.add_option("--trace", g.trace,
                 "write every exchange with the simulated world as it happens (JSON Lines)")
      ->type_name("FILE");
  app.add_option("--log", g.log,
                 "write every exchange with the player as it happens (JSON Lines, the trace's "
                 "format): the record of a real update for whoever supports it")
      ->type_name("FILE");
  app.add_option("--save-state", g.saveState,
                 "afterwards, write the simulated players as they stand (JSON)")
      ->type_name("FILE");
  app.add_flag("--real-time", g.realTime, "let the simulated waits take real time");
  app.add_flag("--json", g.json, "print one JSON result object instead of text");
  app.add_option("--progress", g.progress,
                 "progress: auto (in place on a terminal, else lines), plain, json (JSON Lines "
                 "on standard error) or none")
      ->check(CLI::IsMember({"auto", "plain", "json", "none"}));

  const char* const kFolderHelp = "the firmware folder (default on a simulated world: its own)";
  const char* const kSerialHelp = "the player's USB serial (default: the only player attached)";
  const auto serialAndFolder = [&](CLI::App* command, Positionals& p) {
    p.firstOption = command->add_option("SERIAL", p.first, kSerialHelp);
    command->add_option("FOLDER", p.second, kFolderHelp);
  };

  Positionals infoArgs, needArgs, updateArgs, recoverArgs;
  std::string folder;
  std::string file;
  std::string output;
  std::string backupAction = "list";
  std::string backupSerial;
  bool rulesJson = false;
  ImageOptions image;
  UpdateOptions update;
  RecoverOptions recover;

  auto* list = app.add_subcommand("list", "players in mass-storage mode and in ROM recovery mode");
  auto* info = app.add_subcommand("info", "what GetDeviceInfo reports, and the drive table");
  infoArgs.firstOption = info->add_option("SERIAL", infoArgs.first, kSerialHelp);
  auto* local = app.add_subcommand("local-version", "the version of FOLDER/firmware.sb");
  local->add_option("FOLDER", folder, kFolderHelp);
  auto* inspect = app.add_subcommand("inspect", "what an SB firmware file says of itself");
  inspect->add_option("FILE", file, "the SB file")->required();
  auto* need =
      app.add_subcommand("need-recovery", "whether the new firmware still fits the player");
  serialAndFolder(need, needArgs);
  auto* updateCommand = app.add_subcommand("update", "update a player in mass-storage mode");
  serialAndFolder(updateCommand, updateArgs);
  updateCommand->add_flag("--check", update.check, "every check, nothing sent to the player");
  updateCommand->add_flag("--force", update.force, "flash the version the player already has");
  updateCommand->add_flag("--allow-older", update.allowOlder, "install an older version");
  auto* recoverCommand = app.add_subcommand(
      "recover",
      "rebuild a player (it erases its data drive; its files are kept when it is in "
      "mass-storage mode)");
  serialAndFolder(recoverCommand, recoverArgs);
  recoverCommand->add_flag("--check", recover.check, "every check, nothing sent to the player");
  recoverCommand->add_flag("--yes,-y", recover.yes, "erase the player's data drive without asking");
  recoverCommand->add_flag("--discard-files", recover.discardFiles, "do not keep the user's files");
  recoverCommand->add_flag("--force", recover.force, "go on past a check that advises against it");
  auto* manifest = app.add_subcommand(
      "manifest", "write FOLDER/kx7fw.sha256, the SHA-256 of its firmware files");
  manifest->add_option("FOLDER", folder, kFolderHelp);
  manifest->add_option("--output,-o", output, "write it here instead (- for standard output)");
  auto* backups = app.add_subcommand("backups", "the players' settings backups: list, remove");
  backups->add_option("ACTION", backupAction, "list (default) or remove")
      ->check(CLI::IsMember({"list", "remove"}));
  backups->add_option("SERIAL", backupSerial, "the player whose backup to remove");
  auto* format = app.add_subcommand(
      "format-image",
      "lay the data drive's partition table and FAT file system into an image file");
  format->add_option("FILE", image.file, "the image file to write")->required();
  format->add_option("--sectors", image.sectors, "sectors of the drive")->required();
  format->add_option("--sector-size", image.sectorSize, "bytes per sector")
      ->check(CLI::IsMember({512, 1024, 2048, 4096}));
  format->add_option("--label", image.label, "volume label (at most 11 characters)");
  format->add_flag("--force", image.force, "replace an existing file");
  auto* demo = app.add_subcommand(
      "demo", "a normal update and a recovery update on the built-in simulated world");
  CLI::App* rules = nullptr;
  if (!UdevRules().empty()) {
    rules = app.add_subcommand("udev-rules",
                               "print the udev rules that let the logged-in user reach the player");
    rules->add_flag("--json", rulesJson, "as JSON: the rules and where they belong");
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int shown = app.exit(e);
    return shown == 0 ? exit_code::kDone : exit_code::kUsage;
  }

  CLI::App* chosen = app.get_subcommands().front();
  Report report(chosen->get_name(), g.json ? Report::Style::Json : Report::Style::Text);
  const auto usage = [&](const std::string& why) {
    console::Err("kx7fw " + chosen->get_name() + ": " + why + "\n");
    return exit_code::kUsage;
  };
  try {
    if (chosen == format) return RunFormatImage(report, image);
    if (rules && chosen == rules) {
      if (g.json || rulesJson) {
        Report json(chosen->get_name(), Report::Style::Json);
        json.Data()["rules"] = UdevRules();
        json.Data()["fileName"] = UdevRulesInstallPath();
        return json.Done();
      }
      console::Out(UdevRules());
      return exit_code::kDone;
    }
    if (chosen == demo) return RunDemo(report, StyleFor(g), argv[0]);
    if (chosen == backups && backupAction == "remove" && backupSerial.empty())
      return usage("backups remove needs the SERIAL whose backup to remove");
    Positionals* args = chosen == info             ? &infoArgs
                        : chosen == need           ? &needArgs
                        : chosen == updateCommand  ? &updateArgs
                        : chosen == recoverCommand ? &recoverArgs
                                                   : nullptr;
    Target target;
    if (args) {
      const SerialAndFolder sorted = SortSerialAndFolder(args->first, args->second);
      target.serial = sorted.serial;
      target.folder = sorted.folder;
      target.serialGiven = !target.serial.empty();
      if (args->firstOption->count() > 0 && args->first.empty())
        return usage("an empty SERIAL names no player; leave it out to take the only one attached");
      if (chosen == info && LooksLikeFolder(target.folder) && !target.serialGiven)
        return usage(target.folder + " is a folder; info takes a player's serial");
      if (sorted.swapped)
        console::Err("kx7fw: taking " + target.folder + " as the firmware folder and " +
                     target.serial + " as the serial\n");
    } else {
      target.folder = folder;
    }
    if (!g.saveState.empty()) {
      std::string why;
      if (!g.simulation && OpenRealBackend())
        return report.Refused("--save-state describes a simulated world");
      if (!CanWrite(g.saveState, why)) return report.Refused(why);
    }

    std::string error;
    auto world = HostWorld::Open({g.simulation, g.realTime, g.trace, g.log}, error);
    if (!world) {
      // A scenario file's mistakes, one per line: each said, then counted.
      std::vector<std::string> mistakes;
      for (std::size_t at = 0; at <= error.size();) {
        const std::size_t end = std::min(error.find('\n', at), error.size());
        mistakes.push_back(error.substr(at, end - at));
        at = end + 1;
      }
      if (mistakes.size() == 1) return report.Refused(error);
      for (const std::string& mistake : mistakes) report.Say(mistake);
      report.Data()["mistakes"] = mistakes;
      return report.Refused("the scenario file holds " + std::to_string(mistakes.size()) +
                            " mistakes");
    }
    if (report.OutputStyle() == Report::Style::Text)
      console::Out("kx7fw on " + world->Description() + "\n");
    kx7::Library library(world->Services());
    Feedback feedback(StyleFor(g), [&] { return world->Seconds(); });
    feedback.SetTraffic(WatchSteps(*world));
    Context c{*world,
              library,
              feedback,
              report,
              Invocation(argv[0], g.simulation.has_value(), g.simulation.value_or("")),
              g.saveState};

    const bool wantsFolder = chosen == local || chosen == need || chosen == updateCommand ||
                             chosen == recoverCommand || chosen == manifest;
    if (wantsFolder) {
      if (target.folder.empty()) target.folder = world->DefaultFolder();
      if (target.folder.empty())
        return report.Refused("no firmware folder given, and the world names none");
      target.folder = FirmwareFolder(target.folder);
    }
    if (chosen == list) return RunList(c);
    if (chosen == info) return RunInfo(c, target);
    if (chosen == local) return RunLocalVersion(c, target.folder);
    if (chosen == inspect) return RunInspect(c, file);
    if (chosen == need) return RunNeedRecovery(c, target);
    if (chosen == manifest) return RunManifest(c, target.folder, output);
    if (chosen == backups) return RunBackups(c, backupAction, backupSerial);
    if (chosen == updateCommand) {
      update.target = target;
      return RunUpdate(c, update);
    }
    recover.target = target;
    return RunRecover(c, recover);
  } catch (const std::exception& e) {
    console::Err(std::string("kx7fw: ") + e.what() + "\n");
    return exit_code::kInternal;
  }
}
