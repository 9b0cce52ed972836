// kx7fw: the command-line updater. It is a host application like any other:
// it drives the library through the Library API, the way an updater
// application drives the twelve exports, on this build's real backend or on
// a simulated world.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "api/library.h"
#include "cli/commands.h"
#include "cli/feedback.h"
#include "cli/host_world.h"
#include "cli/real_backend.h"
#include "cli/report.h"

namespace {

using namespace kx7::cli;

const char* const kExitCodes =
    "exit codes: 0 done, 1 the library reported a failure, 2 wrong command line,\n"
    "3 refused before anything was sent to the player, 4 the tool itself failed";

struct GlobalOptions {
  std::optional<std::string> simulation;
  std::string trace;
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

// Opens the world, runs `command` on it, writes the trace when asked.
int OnWorld(const GlobalOptions& g, Report& report,
            const std::function<int(HostWorld&, kx7::Library&, Feedback&)>& command) {
  std::string error;
  auto world = HostWorld::Open({g.simulation, g.realTime}, error);
  if (!world) return report.Refused(error);
  if (report.OutputStyle() == Report::Style::Text)
    std::printf("kx7fw on %s\n", world->Description().c_str());
  kx7::Library library(world->Services());
  Feedback feedback(StyleFor(g), [&] { return world->Seconds(); });
  const int status = command(*world, library, feedback);
  if (!g.trace.empty() && !world->WriteTrace(g.trace, error))
    std::fprintf(stderr, "kx7fw: %s\n", error.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"kx7fw - firmware updater of the Korvane Tessio Mirl player (KX7TMB)"};
  app.footer(kExitCodes);
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("kx7fw ") + KX7FW_VERSION);

  GlobalOptions g;
  app.add_option("--sim", g.simulation,
                 "run on a simulated world: the built-in one, or the one a scenario file "
                 "describes")
      ->expected(0, 1)
      ->default_str("");
  app.add_option("--trace", g.trace, "write every exchange with the simulated world (JSON Lines)");
  app.add_flag("--real-time", g.realTime, "let the simulated waits take real time");
  app.add_flag("--json", g.json, "print one JSON result object instead of text");
  app.add_option("--progress", g.progress,
                 "progress: auto (in place on a terminal, else lines), plain, json (JSON Lines "
                 "on standard error) or none")
      ->check(CLI::IsMember({"auto", "plain", "json", "none"}));

  std::string serial;
  std::string folder;
  std::string file;
  ImageOptions image;

  auto* list = app.add_subcommand("list", "players in mass-storage mode and in ROM recovery mode");
  auto* info = app.add_subcommand("info", "what GetDeviceInfo reports, and the drive table");
  info->add_option("SERIAL", serial, "the player's USB serial (default: the first player)");
  auto* local = app.add_subcommand("local-version", "the version of FOLDER/firmware.sb");
  const char* const kFolderHelp =
      "the firmware folder, ending in a separator (default on a simulated world: its own)";
  const char* const kSerialHelp =
      "the player's USB serial (default on a simulated world: its first player)";
  local->add_option("FOLDER", folder, kFolderHelp);
  auto* inspect = app.add_subcommand("inspect", "what an SB firmware file says of itself");
  inspect->add_option("FILE", file, "the SB file")->required();
  auto* need =
      app.add_subcommand("need-recovery", "whether the new firmware still fits the player");
  need->add_option("SERIAL", serial, kSerialHelp);
  need->add_option("FOLDER", folder, kFolderHelp);
  auto* update = app.add_subcommand("update", "update a player in mass-storage mode");
  update->add_option("SERIAL", serial, kSerialHelp);
  update->add_option("FOLDER", folder, kFolderHelp);
  auto* recover = app.add_subcommand("recover", "rebuild a player in ROM recovery mode");
  recover->add_option("FOLDER", folder, kFolderHelp);
  auto* format = app.add_subcommand(
      "format-image",
      "lay the data drive's partition table and FAT file system into an image file");
  format->add_option("FILE", image.file, "the image file to write")->required();
  format->add_option("--sectors", image.sectors, "sectors of the drive")->required();
  format->add_option("--sector-size", image.sectorSize, "bytes per sector")
      ->check(CLI::IsMember({512, 1024, 2048, 4096}));
  format->add_option("--label", image.label, "volume label (at most 11 characters)");
  auto* demo = app.add_subcommand(
      "demo", "a normal update and a recovery update on the built-in simulated world");
  CLI::App* rules = nullptr;
  if (!UdevRules().empty())
    rules = app.add_subcommand("udev-rules",
                               "print the udev rules that let the logged-in user reach the player");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int shown = app.exit(e);
    return shown == 0 ? exit_code::kDone : exit_code::kUsage;
  }
  InstallInterruptGuard();

  CLI::App* chosen = app.get_subcommands().front();
  Report report(chosen->get_name(), g.json ? Report::Style::Json : Report::Style::Text);
  try {
    if (chosen == format) return RunFormatImage(report, image);
    if (rules && chosen == rules) {
      std::fputs(UdevRules().c_str(), stdout);
      return exit_code::kDone;
    }
    if (chosen == demo) return RunDemo(report, StyleFor(g));
    return OnWorld(g, report, [&](HostWorld& world, kx7::Library& library, Feedback& feedback) {
      Context c{world, library, feedback, report};
      // A simulated world suggests its own player and firmware folder.
      const bool wantsSerial = chosen == need || chosen == update;
      const bool wantsFolder = chosen == local || wantsSerial || chosen == recover;
      if (wantsSerial && serial.empty()) serial = world.DefaultSerial();
      if (wantsFolder && folder.empty()) folder = world.DefaultFolder();
      if (wantsSerial && serial.empty())
        return report.Refused("no player serial given, and the world names no player");
      if (wantsFolder && folder.empty())
        return report.Refused("no firmware folder given, and the world names none");
      if (chosen == list) return RunList(c);
      if (chosen == info) return RunInfo(c, serial);
      if (chosen == local) return RunLocalVersion(c, folder);
      if (chosen == inspect) return RunInspect(c, file);
      if (chosen == need) return RunNeedRecovery(c, serial, folder);
      if (chosen == update) return RunUpdate(c, serial, folder);
      return RunRecover(c, folder);
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kx7fw: %s\n", e.what());
    return exit_code::kInternal;
  }
}
