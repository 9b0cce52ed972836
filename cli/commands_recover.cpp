// The recovery update: it erases the player's whole media, data drive
// included. Said before anything is sent, confirmed on a terminal or with
// --yes; the user's files are kept over it when the player can still be
// read in mass-storage mode, and said lost when it cannot.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "cli/command_support.h"
#include "cli/console.h"
#include "cli/estimate.h"
#include "cli/last_run.h"
#include "cli/layout_fit.h"
#include "cli/signal_window.h"
#include "firmware/image_table.h"
#include "host/drive_letters.h"

namespace kx7::cli {

namespace {

constexpr int kReplugWaitSeconds = 120;

// "1 file", "3 files".
std::string Files(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " file" : " files");
}

bool Confirmed(const RecoverOptions& o, const std::string& question) {
  if (o.yes) return true;
  if (!console::InIsTerminal()) return false;
  console::Err(question + " [y/N] ");
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

// The player, in normal mode at `letter`, brought into ROM recovery mode:
// on a simulated world as a person would do it, on a real one by asking
// the person and waiting for the ROM to show.
bool BringToRecoveryMode(Context& c, char letter) {
  if (c.world.HoldRecoveryButton(letter)) {
    c.report.Say("(simulated) the player is plugged in again with its recovery button held");
    return true;
  }
  c.report.Say(
      "now unplug the player, hold its recovery button and plug it in again (waiting up "
      "to " +
      std::to_string(kReplugWaitSeconds) + " s)");
  for (int i = 0; i < kReplugWaitSeconds; ++i) {
    if (!RecoveryDevicePaths(c.library).empty()) return true;
    c.world.Wait(1000);
  }
  return false;
}

struct Rebuild {
  std::string serialBefore;  // of the player brought from normal mode; "" from ROM mode
  std::string firmwareBefore;
  bool filesKept = false;
  std::string keptFolder;
  std::vector<std::string> normalBefore;  // serials of the players in normal mode at the start
};

// The player a recovery brought back: the one at the library's drive letter,
// else the one player in normal mode that was not there before. The letter
// can go to another disk meanwhile: a disk unplugged during the recovery frees
// a letter that the returning player may take instead of the updater's.
std::string RebuiltSerial(Context& c, const Rebuild& r) {
  if (auto at = FindSerialForDriveLetter(c.library.Services(), c.library.CurrentDriveLetter()))
    return *at;
  if (!r.serialBefore.empty()) return r.serialBefore;
  std::vector<std::string> appeared;
  for (const PlayerEntry& p : ListPlayers(c.library))
    if (p.mode == "normal" &&
        std::find(r.normalBefore.begin(), r.normalBefore.end(), p.serial) == r.normalBefore.end())
      appeared.push_back(p.serial);
  return appeared.size() == 1 ? appeared.front() : std::string();
}

PlayerOutcome RecoverOutcome(Context& c, const Rebuild& r, const std::string& folder) {
  PlayerOutcome o;
  o.failedStep = c.feedback.FailedStep();
  const TrafficWatch& traffic = c.world.Traffic();
  const std::string kept = r.filesKept ? "; its files are kept in " + r.keptFolder : std::string();
  const std::string again = c.invocation.Command({"recover", folder});
  if (!traffic.MediaChanged()) {
    o.state = "firmware-untouched";
    if (!r.serialBefore.empty()) {
      o.stateText =
          "its media is untouched (firmware " + r.firmwareBefore + ", its files on it)" + kept;
      o.advice =
          "unplug it and plug it in again without the button (it starts as before), or "
          "try again:";
      o.nextCommand = c.invocation.Command({"recover", r.serialBefore, folder});
    } else {
      o.stateText = "its media is untouched; " + ProbePlayer(c.library, "").Text();
      o.advice = "unplug it, plug it in with its recovery button held and run";
      o.nextCommand = again;
    }
    return o;
  }
  o.state = "needs-recovery";
  o.stateText =
      std::string(traffic.MediaErased() ? "its media was erased" : "its media was changed") +
      " and is not rebuilt" + kept;
  o.advice = "unplug it, plug it in with its recovery button held and run";
  o.nextCommand = again;
  return o;
}

}  // namespace

int RunRecover(Context& c, const RecoverOptions& o) {
  const std::string& folder = o.target.folder;
  c.world.TakeAccessProblem();
  c.report.Tell({std::nullopt, "unchanged", "nothing was sent to the player", "", std::nullopt});
  if (!FolderUsable(c, folder, true)) return c.report.Refused("the firmware folder is not usable");

  const std::vector<std::string> roms = RecoveryDevicePaths(c.library);
  c.report.Data()["romRecovery"] = roms.size();
  if (roms.size() > 1) {
    c.report.Say(std::to_string(roms.size()) + " players are in ROM recovery mode:");
    for (const std::string& path : roms) c.report.Say("  " + path);
    c.report.Tell({std::nullopt, "unchanged", "nothing was sent to any player",
                   "unplug all of them but one and run",
                   c.invocation.Command({"recover", folder})});
    return c.report.Refused(
        "a recovery rebuilds one player at a time, and players in ROM recovery "
        "mode show no serial to choose by");
  }

  Rebuild r;
  char letter = 0;
  if (roms.empty()) {
    const Chosen chosen = ChoosePlayer(c, o.target, "to rebuild");
    if (chosen.kind == Chosen::Kind::Refused) return chosen.exitCode;
    if (chosen.kind == Chosen::Kind::None) {
      c.report.Tell({std::nullopt, "unchanged", "no player is attached",
                     "plug it in (with its recovery button held when it does not start) and run",
                     c.invocation.Command({"recover", folder})});
      return c.report.Refused("no player is attached");
    }
    r.serialBefore = chosen.player.serial;
    letter = chosen.player.letter;
    // As an updater application shows the player first: the library backs
    // up its settings then, to restore them after the rebuild.
    int shown = 0;
    QueryDevice(c.library, r.serialBefore, shown);
    const auto version = FirmwareAt(c.library, letter);
    r.firmwareBefore = version ? ShortVersion(*version) : "?";
  }

  platform::FileSystem& files = c.library.Services().files;
  const SbInspection firmware = InspectSbFile(files, folder + kFirmwareFileName);
  const SbInspection updater = InspectSbFile(files, folder + kUpdaterFileName);
  const SbInspection bootlet = InspectSbFile(files, folder + kBootletFileName);
  if (letter) {
    if (const std::string misfit = LayoutMisfit(c, letter, folder); !misfit.empty() && !o.force) {
      c.report.Tell({std::nullopt, "unchanged", "nothing was sent to the player",
                     "to try all the same, run",
                     c.invocation.Command({"recover", r.serialBefore, folder, "--force"})});
      return c.report.Refused(misfit);
    }
  } else if (const auto last = ReadLastRun(c.world.StateFolder());
             last && LeftBeforeFirstErase(*last, std::time(nullptr)) && !o.force) {
    c.report.Say("the last update (of " + last->serial +
                 ") stopped before its first erase: the "
                 "player still holds its old firmware and its files");
    c.report.Tell({std::nullopt, "firmware-untouched", "it waits in its ROM recovery mode",
                   "unplug it and plug it in again without the recovery button; if it does not "
                   "start, run",
                   c.invocation.Command({"recover", folder, "--force"})});
    return c.report.Refused("a recovery would erase a player that can still start");
  }

  // What is lost, said before anything is sent.
  std::vector<UserFile> userFiles;
  std::string why;
  bool keep = false;
  c.report.Say("recover erases every file on the player's data drive.");
  if (!letter) {
    c.report.Say(
        "The player is in ROM recovery mode, where it shows no data drive: its files "
        "cannot be saved.");
  } else if (o.discardFiles) {
    c.report.Say("Its files are not kept (--discard-files).");
  } else if (!c.world.PlayerFiles().List(letter, userFiles, why)) {
    c.report.Say("Its files cannot be kept: " + why + ".");
  } else {
    keep = !userFiles.empty();
    r.keptFolder = c.world.PlayerFiles().KeptFolder(r.serialBefore);
    c.report.Say("Its " + Files(userFiles.size()) + " (" + Bytes(TotalSize(userFiles)) +
                 ") are copied to " + r.keptFolder + " first and put back afterwards.");
  }
  c.report.Data()["filesKept"] = keep;
  c.report.Data()["files"] = userFiles.size();

  const Estimate estimate = RecoveryEstimate(firmware.size, updater.size, bootlet.size);
  if (o.check) {
    c.report.Tell({std::nullopt, "unchanged", "nothing was sent to the player",
                   "rebuild it:", c.invocation.Command({"recover", r.serialBefore, folder})});
    return c.report.Answered(Operation::DoRecoveryUpdate, 0, "checked", "every check passed");
  }
  if (!Confirmed(o, "Rebuild the player?")) {
    c.report.Tell({std::nullopt, "unchanged", "nothing was sent to the player",
                   "to rebuild it without a question, run",
                   c.invocation.Command({"recover", r.serialBefore, folder, "--yes"})});
    return c.report.Refused(console::InIsTerminal() || o.yes
                                ? "not confirmed"
                                : "recover erases the player's files: confirm on a terminal, or "
                                  "give --yes");
  }

  if (keep) {
    if (!c.world.PlayerFiles().Keep(letter, r.serialBefore, userFiles, why))
      return c.report.Refused("the player's files could not be kept: " + why);
    r.filesKept = true;
    c.report.Say("kept " + Files(userFiles.size()) + " in " + r.keptFolder +
                 ", each compared with its original");
  }
  if (letter && !BringToRecoveryMode(c, letter)) {
    c.report.Tell(RecoverOutcome(c, r, folder));
    return c.report.Refused("the player did not show up in ROM recovery mode");
  }

  c.report.Say(r.serialBefore.empty()
                   ? "rebuilding the player in ROM recovery mode (" + About(estimate.total) + ")"
                   : "rebuilding " + r.serialBefore + " (" + About(estimate.total) + ")");
  double rewrite = estimate.rewrite;
  if (keep) {
    rewrite += FilesBackSeconds(TotalSize(userFiles));
    SignalWindow::HoldUntilRelease();
  }
  c.feedback.ExpectRewrite(
      rewrite, keep ? "the player is rebuilt and its files are back" : "the player is reset");
  Feedback::StepTraffic traffic = WatchSteps(c.world);
  traffic.note = [&](Step step) -> std::string {
    if (step != Step::RestoreSettings) return "";
    const auto& copies = c.world.Traffic().StepCopies();
    if (copies.empty()) return "nothing to restore (no settings backup of this player)";
    std::string names;
    std::string from;
    for (const auto& [source, destination] : copies) {
      const std::string to = destination.substr(destination.find(':') + 2);
      const std::string taken = source.substr(source.find_last_of('\\') + 1);
      // A file restored under another name says which it was.
      names += (names.empty() ? "" : ", ") + to + (taken == to ? "" : " (from " + taken + ")");
      from = source.substr(0, source.find_last_of('\\'));
    }
    const auto backup = c.world.SettingsBackups().Of(from.substr(from.find_last_of('\\') + 1));
    return names + " from " + from + (backup ? " (" + backup->taken + ")" : "");
  };
  c.feedback.SetTraffic(traffic);

  // A signal held over the rebuild is acted on once the account below is
  // settled: the tool then stops with it as its last word.
  bool told = false;
  SignalWindow::OnStop([&](int signal) {
    if (!told) c.report.Tell(RecoverOutcome(c, r, folder));
    c.report.Stopped(SignalWindow::Name(signal));
    SaveStateIfAsked(c, folder);
  });
  for (const PlayerEntry& p : ListPlayers(c.library))
    if (p.mode == "normal") r.normalBefore.push_back(p.serial);
  const int code = Observed(c, [&] { return c.library.DoRecoveryUpdate("", folder.c_str()); });
  c.feedback.SetTraffic(WatchSteps(c.world));
  const auto finish = [&](PlayerOutcome outcome, const std::function<int()>& report) {
    c.report.Tell(std::move(outcome));
    told = true;
    SignalWindow::Release();
    SignalWindow::OnStop(nullptr);
    const int exit = report();
    SaveStateIfAsked(c, folder);
    return exit;
  };

  if (code != 0) {
    SayAccessProblem(c);
    return finish(RecoverOutcome(c, r, folder),
                  [&] { return c.report.Failed(Operation::DoRecoveryUpdate, code); });
  }
  const std::string serial = RebuiltSerial(c, r);
  const std::string after = serial.empty() ? "" : VersionWhenBack(c, serial);
  c.report.Data()["serial"] = serial.empty() ? nlohmann::json(nullptr) : nlohmann::json(serial);
  c.report.Data()["firmwareAfter"] =
      after.empty() ? nlohmann::json(nullptr) : nlohmann::json(after);
  if (after.empty())
    return finish(
        {c.feedback.FailedStep(), "rewritten-not-restarted",
         "the player is rebuilt but did not come back after its restart" +
             (r.filesKept ? "; its files are kept in " + r.keptFolder : std::string()),
         "unplug it and plug it in again, then look at it:", c.invocation.Command({"info"})},
        [&] { return c.report.Failed(Operation::DoRecoveryUpdate, code); });

  const char back = ProbePlayer(c.library, serial).letter;
  std::string note = "rebuilt " + serial;
  const std::vector<UserFile> kept = c.world.PlayerFiles().Kept(serial);
  if (!kept.empty()) {
    if (!c.world.PlayerFiles().PutBack(back, serial, why)) {
      c.report.Data()["filesBack"] = false;
      c.report.Say("the files could not be put back: " + why);
      return finish(
          {std::nullopt, "updated",
           "it runs firmware " + after + "; its files are kept in " +
               c.world.PlayerFiles().KeptFolder(serial),
           "copy them onto the player yourself", std::nullopt},
          [&] { return c.report.Failed("the player is rebuilt but its files are not back"); });
    }
    c.feedback.Note("put back " + Files(kept.size()) + " (" + Bytes(TotalSize(kept)) +
                    "), each compared with its kept copy");
    note += ", its " + Files(kept.size()) + " put back";
  }
  c.report.Data()["filesBack"] = kept.empty() ? nlohmann::json(nullptr) : nlohmann::json(true);
  PlayerOutcome done{std::nullopt, "updated",
                     "it runs firmware " + after + " at " + std::string(1, back) + ":", "",
                     std::nullopt};
  if (const std::size_t waiting = RecoveryDevicePaths(c.library).size()) {
    done.stateText += "; " + std::to_string(waiting) + " more player" +
                      (waiting > 1 ? "s wait" : " waits") + " in ROM recovery mode";
    done.advice = "rebuild the next one:";
    done.nextCommand = c.invocation.Command({"recover", folder});
  }
  return finish(done, [&] { return c.report.Succeeded(Operation::DoRecoveryUpdate, code, note); });
}

}  // namespace kx7::cli
