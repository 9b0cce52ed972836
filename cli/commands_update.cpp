// The normal update: every check first, then the library's procedure, and
// an honest account of where it left the player.
#include <cstdio>

#include "cli/command_support.h"
#include "cli/estimate.h"
#include "cli/last_run.h"
#include "cli/layout_fit.h"
#include "cli/signal_window.h"
#include "firmware/image_table.h"

namespace kx7::cli {

namespace {

int Compare(const VersionTriple& a, const VersionTriple& b) {
  for (int i = 0; i < 3; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

// Where a failed or stopped update left the player, from what the progress
// and the traffic showed.
// `stopped`: a held signal ends the tool right after the window, without
// waiting for the player.
PlayerOutcome UpdateOutcome(Context& c, const std::string& serial, const std::string& folder,
                            const std::string& before, const std::string& after,
                            bool stopped = false) {
  PlayerOutcome o;
  o.failedStep = c.feedback.FailedStep();
  const TrafficWatch& traffic = c.world.Traffic();
  const PlayerNow now = ProbePlayer(c.library, serial);
  const std::string where = now.Text();
  const std::string again = c.invocation.Command({"update", serial, folder});
  if (!traffic.MediaChanged()) {
    if (!traffic.SwitchTaken() && now.mode == "normal") {
      o.state = "unchanged";
      o.stateText = "the player did not leave its normal mode: " + where;
      o.advice = "unplug it, plug it in again and run";
      o.nextCommand = again;
      if (c.feedback.FailedStep() == std::string(StepName(Step::SwitchToRecovery))) {
        // A player that will not switch takes its firmware only as a rebuild.
        o.advice = "rebuild it instead (its files are kept):";
        o.nextCommand = c.invocation.Command({"recover", serial, folder});
      }
      return o;
    }
    o.state = "firmware-untouched";
    o.stateText = "its firmware drives are untouched (firmware " + before + "); " + where;
    o.advice = "unplug it and plug it in again (it starts firmware " + before + "), then run";
    o.nextCommand = again;
    return o;
  }
  if (c.feedback.Verified() < 3) {
    o.state = "needs-recovery";
    o.stateText = "its firmware drives are partly rewritten; " + where;
    o.advice = "unplug it, plug it in with its recovery button held and run";
    o.nextCommand = c.invocation.Command({"recover", folder});
    return o;
  }
  if (stopped && traffic.ResetTaken() && !c.feedback.FailedStep()) {
    o.state = "restarting";
    o.stateText = "firmware " + after + " is written and verified and the player restarts";
    o.advice = "once it is back, look at it:";
    o.nextCommand = c.invocation.Command({"info", serial});
    return o;
  }
  o.state = "rewritten-not-restarted";
  o.stateText = "firmware " + after + " is written and verified but the player " +
                (traffic.ResetTaken() ? "did not come back" : "did not take the restart") + "; " +
                where;
  o.advice = "unplug it and plug it in again, then look at it:";
  o.nextCommand = c.invocation.Command({"info", serial});
  return o;
}

}  // namespace

int RunUpdate(Context& c, const UpdateOptions& o) {
  const std::string& folder = o.target.folder;
  c.world.TakeAccessProblem();  // what earlier looks at other disks left
  c.report.Tell({std::nullopt, "unchanged", "nothing was sent to the player", "", std::nullopt});
  if (!FolderUsable(c, folder, false)) return c.report.Refused("the firmware folder is not usable");

  const Chosen chosen = ChoosePlayer(c, o.target, "to update");
  if (chosen.kind == Chosen::Kind::Refused) return chosen.exitCode;
  if (chosen.kind == Chosen::Kind::None) {
    if (!RecoveryDevicePaths(c.library).empty()) {
      c.report.Tell({std::nullopt, "rom-recovery", "the player waits in its ROM recovery mode",
                     "rebuild it:", c.invocation.Command({"recover", folder})});
      return c.report.Refused("a player is in ROM recovery mode, where only a recovery reaches it");
    }
    c.report.Tell({std::nullopt, "unchanged", "", "plug the player in and run",
                   c.invocation.Command({"update", folder})});
    return c.report.Refused("no player in mass-storage mode");
  }
  const std::string serial = chosen.player.serial;
  const char letter = chosen.player.letter;
  c.report.Data()["serial"] = serial;

  int result = 0;
  const auto info = QueryDevice(c.library, serial, result);
  const auto playerVersion = FirmwareAt(c.library, letter);
  const SbInspection local = InspectSbFile(c.library.Services().files, folder + kFirmwareFileName);
  if (!info || !playerVersion) {
    SayAccessProblem(c);
    return c.report.Refused("the player at " + std::string(1, letter) +
                            ": does not answer as a player; nothing was sent to it");
  }
  const std::string before = ShortVersion(*playerVersion);
  const std::string after = ShortVersion(local.product);
  c.report.Data()["firmwareBefore"] = before;
  c.report.Data()["firmwareAfter"] = nullptr;
  const int order = Compare(*playerVersion, local.product);
  if (order == 0 && !o.force) {
    c.report.Data()["firmwareAfter"] = before;
    c.report.Tell({std::nullopt, "unchanged",
                   "it runs firmware " + before + ", the folder's version; nothing was flashed", "",
                   std::nullopt});
    // The library was not asked: no result of its to show.
    return c.report.Answered("up to date", "");
  }
  if (order > 0 && !o.allowOlder) {
    c.report.Tell({std::nullopt, "unchanged", "it keeps firmware " + before,
                   "to install the older " + after + " all the same, run",
                   c.invocation.Command({"update", serial, folder, "--allow-older"})});
    return c.report.Refused("the player runs " + before + ", newer than the folder's " + after);
  }
  if (c.library.NeedRecovery(serial.c_str(), folder.c_str()) == 0) {
    if (const std::string misfit = LayoutMisfit(c, letter, folder); !misfit.empty()) {
      c.report.Say("a recovery cannot help either: " + misfit);
      c.report.Tell({std::nullopt, "unchanged", "nothing was sent to the player",
                     "this firmware is too large for the player", std::nullopt});
    } else {
      c.report.Tell({std::nullopt, "unchanged", "nothing was sent to the player",
                     "rebuild it instead (its files are kept):",
                     c.invocation.Command({"recover", serial, folder})});
    }
    return c.report.Refused("the new firmware no longer fits this player's system drives");
  }

  const SbInspection updater = InspectSbFile(c.library.Services().files, folder + kUpdaterFileName);
  const Estimate estimate = NormalUpdateEstimate(local.size, updater.size);
  if (o.check) {
    const std::string busy = c.world.DiskInUse(letter);
    if (!busy.empty()) c.report.Say(busy);
    c.report.Say("ready: " + serial + " at " + std::string(1, letter) + ": from firmware " +
                 before + " to " + after + ", " + About(estimate.total));
    c.report.Tell({std::nullopt, "unchanged", "nothing was sent to the player",
                   "update it:", c.invocation.Command({"update", serial, folder})});
    return c.report.Answered(Operation::DoNormalUpdate, 0, "checked", "every check passed");
  }

  if (const std::string busy = c.world.PrepareDisk(letter); !busy.empty()) {
    c.report.Say(busy);
    return c.report.Refused("the player's volumes are in use");
  }
  c.report.Say("updating " + serial + " at " + std::string(1, letter) + ": from firmware " +
               before + " to " + after + " (" + About(estimate.total) + ")");
  // The run is on record from here, so that one killed outright (before
  // the first erase, or by SIGKILL in the rewrite) still tells the next run
  // how far it came.
  const std::string state = c.world.StateFolder();
  RecordLastRun(state, {"update", serial, "running", false});
  c.feedback.ExpectRewrite(estimate.rewrite, "the player is reset", [&] {
    RecordLastRun(state, {"update", serial, "running", true});
  });
  const auto stopped = [&](int signal) {
    RecordLastRun(state, {"update", serial, "stopped", true});
    c.report.Tell(UpdateOutcome(c, serial, folder, before, after, true));
    c.report.Stopped(SignalWindow::Name(signal));
    SaveStateIfAsked(c, folder);
  };
  SignalWindow::OnStop(stopped);
  const int code =
      Observed(c, [&] { return c.library.DoNormalUpdate(serial.c_str(), folder.c_str()); });
  SignalWindow::OnStop(nullptr);
  LastRun last{"update", serial, "", c.feedback.RewriteBegan()};

  int exit = 0;
  if (code != 0) {
    SayAccessProblem(c);
    c.report.Tell(UpdateOutcome(c, serial, folder, before, after));
    last.outcome = "failed";
    exit = c.report.Failed(Operation::DoNormalUpdate, code);
  } else {
    const std::string back = c.world.Traffic().ResetTaken() ? VersionWhenBack(c, serial) : "";
    if (back != after) {
      c.report.Tell(UpdateOutcome(c, serial, folder, before, after));
      if (!back.empty()) c.report.Say("the player came back with firmware " + back);
      c.report.Data()["firmwareAfter"] =
          back.empty() ? nlohmann::json(nullptr) : nlohmann::json(back);
      last.outcome = "failed";
      exit = c.report.Failed(Operation::DoNormalUpdate, code);
    } else {
      c.report.Data()["firmwareAfter"] = back;
      std::string note;
      if (c.feedback.FailedStep())
        note = "the player refused a command at " + *c.feedback.FailedStep() +
               ", and the read-back matched all the same";
      c.report.Tell({std::nullopt, "updated",
                     "it runs firmware " + back + " at " +
                         std::string(1, ProbePlayer(c.library, serial).letter) + ":",
                     "", std::nullopt});
      last.outcome = "done";
      exit = c.report.Succeeded(Operation::DoNormalUpdate, code, note);
    }
  }
  RecordLastRun(state, last);
  SaveStateIfAsked(c, folder);
  return exit;
}

}  // namespace kx7::cli
