// The commands that rewrite a player, lay out an image, or show both.
#include <cstdio>
#include <fstream>
#include <functional>

#include "cli/commands.h"
#include "cli/players.h"
#include "device/device_session.h"
#include "host/drive_letters.h"
#include "media/data_drive_format.h"
#include "sim/scenario/sb_file.h"

namespace kx7::cli {

namespace {

constexpr std::uint32_t kComebackPollMs = 1000;
constexpr int kComebackTries = 30;

// Whether the image holds what the plan lays down where a FAT driver looks
// first: the master boot record, the boot sector at the partition's start
// and, on FAT32, its backup copy.
bool ImageHoldsPlan(const std::string& file, const CStSDisk& disk) {
  std::ifstream in(file, std::ios::binary);
  const auto holds = [&](std::uint64_t sector, const SectorBlock& expected) {
    SectorBlock found{};
    in.seekg(static_cast<std::streamoff>(sector * disk.SectorSize));
    in.read(reinterpret_cast<char*>(found.data()), static_cast<std::streamsize>(found.size()));
    return in.good() && found == expected;
  };
  const std::uint64_t start = disk.HiddenSectors();
  return holds(0, disk.Mbr) && holds(start, disk.BootSector) &&
         (disk.FatType != CStSDisk::Fat32 || holds(start + 6, disk.BootSector));
}

// Runs one library operation with the feedback following it.
int Observed(Context& c, const std::function<int()>& operation) {
  c.library.SetProgressObserver(&c.feedback);
  const int result = operation();
  c.library.SetProgressObserver(nullptr);
  c.feedback.OperationEnded();
  return result;
}

// The firmware version of the player with `serial` once it is back in
// normal mode, as an updater application waits for it; "" if it is not.
std::string VersionWhenBack(Context& c, const std::string& serial) {
  for (int i = 0; i < kComebackTries; ++i) {
    int result = 0;
    const auto info = QueryDevice(c.library, serial, result);
    if (info && std::string(info->Mode) == "MSC") return info->FirmwareVersion;
    c.world.Wait(kComebackPollMs);
  }
  return "";
}

// A failed operation, with the device node it could not use when the
// system names one.
int FailedAt(Context& c, Operation operation, int code) {
  if (const std::string problem = c.world.TakeAccessProblem(); !problem.empty()) {
    c.report.Say(problem);
    c.report.Data()["accessProblem"] = problem;
  }
  return c.report.Failed(operation, code);
}

bool FolderUsable(Context& c, const std::string& folder, bool withBootlet) {
  const auto problems = CheckFirmwareFolder(c.library.Services().files, folder, withBootlet);
  for (const std::string& problem : problems) c.report.Say("  " + folder + problem);
  c.report.Data()["folderProblems"] = problems;
  return problems.empty();
}

}  // namespace

int RunUpdate(Context& c, const std::string& serial, const std::string& folder) {
  c.report.Data()["serial"] = serial;
  c.world.TakeAccessProblem();  // what earlier looks at other disks left
  if (!FolderUsable(c, folder, false))
    return c.report.Refused("the firmware folder is not usable; nothing was sent to the player");

  int result = 0;
  const auto info = QueryDevice(c.library, serial, result);
  if (!info || std::string(info->Mode) != "MSC") {
    if (info || RecoveryDevicePresent(c.library))
      return c.report.Refused("a player is in ROM recovery mode: rebuild it with 'kx7fw recover " +
                              folder + "'");
    return c.report.Refused("no player in mass-storage mode with serial " + serial);
  }
  if (c.library.NeedRecovery(serial.c_str(), folder.c_str()) == 0)
    return c.report.Refused(
        "the new firmware no longer fits this player's system drives; nothing was sent to the "
        "player. Rebuild it instead: plug it in with its recovery button held and run 'kx7fw "
        "recover " +
        folder + "'");

  if (const std::string busy = c.world.PrepareDisk(info->DriveLetterText[0]); !busy.empty()) {
    c.report.Say(busy);
    return c.report.Refused("the player's volumes are in use; nothing was sent to the player");
  }
  char newVersion[16] = {};
  c.library.GetLocalVersion(folder.c_str(), newVersion, sizeof newVersion);
  const std::string before = info->FirmwareVersion;
  c.report.Say("updating " + serial + " at " + info->DriveLetterText + ": from firmware " + before +
               " to " + newVersion);
  c.report.Data()["firmwareBefore"] = before;

  const int code =
      Observed(c, [&] { return c.library.DoNormalUpdate(serial.c_str(), folder.c_str()); });
  if (code != 0) return FailedAt(c, Operation::DoNormalUpdate, code);
  const std::string after = VersionWhenBack(c, serial);
  c.report.Say("the player is back with firmware " + (after.empty() ? "?" : after));
  c.report.Data()["firmwareAfter"] = after;
  return c.report.Succeeded(Operation::DoNormalUpdate, code);
}

int RunRecover(Context& c, const std::string& folder) {
  c.world.TakeAccessProblem();
  if (!FolderUsable(c, folder, true))
    return c.report.Refused("the firmware folder is not usable; nothing was sent to the player");
  if (!RecoveryDevicePresent(c.library)) {
    if (!c.world.HoldRecoveryButton())
      return c.report.Refused(
          "no player in ROM recovery mode: unplug the player, hold its recovery button and plug "
          "it in again");
    c.report.Say("(simulated) the player is plugged in again with its recovery button held");
  }
  c.report.Say("rebuilding the player in ROM recovery mode");
  const int code = Observed(c, [&] { return c.library.DoRecoveryUpdate("", folder.c_str()); });
  if (code != 0) return FailedAt(c, Operation::DoRecoveryUpdate, code);

  const char letter = c.library.CurrentDriveLetter();
  const std::string serial = FindSerialForDriveLetter(c.library.Services(), letter).value_or("");
  const std::string after = serial.empty() ? "" : VersionWhenBack(c, serial);
  c.report.Say("the player is back at " + std::string(1, letter) + ": with firmware " +
               (after.empty() ? "?" : after));
  c.report.Data()["serial"] = serial;
  c.report.Data()["firmwareAfter"] = after;
  return c.report.Succeeded(Operation::DoRecoveryUpdate, code);
}

int RunFormatImage(Report& report, const ImageOptions& o) {
  if (o.label.size() > 11) return report.Refused("a volume label holds at most 11 characters");
  CStSDisk disk;
  if (!disk.Plan(o.sectors, o.sectorSize, o.label))
    return report.Refused("no FAT16 or FAT32 volume fits " + std::to_string(o.sectors) +
                          " sectors of " + std::to_string(o.sectorSize) + " bytes");

  // The library's own formatter, on a simulated updater whose data drive is
  // the image; the drive is then written out as it stands.
  sim::World world;
  sim::PlayerConfig config;
  config.initialMode = sim::PlayerMode::Updater;
  sim::Player& player = world.addPlayer(config);
  player.drives = sim::FactoryDrives(sim::BuildSbFile({}), {1, 0, 0}, {1, 0, 0});
  sim::SimDrive& data = *player.dataDrive();
  data.sizeBytes = std::uint64_t{o.sectors} * o.sectorSize;
  data.sectorSize = o.sectorSize;
  data.media = sim::SparseMedia(data.sizeBytes, 0);
  player.dropFileSystem();
  DeviceSession session(world.services());
  SectorWriter writer{&session, o.sectorSize};
  if (!session.OpenByDriveLetter(config.letter) || !session.LockVolume() ||
      !FormatDataDrive(writer, o.sectorSize, o.label, o.sectors))
    return report.Refused("the formatter failed");
  if (!world.exportDataDrive(0, o.file)) return report.Refused("cannot write " + o.file);
  // Read back from the file itself: an image that would not mount is never
  // called done.
  if (!ImageHoldsPlan(o.file, disk)) {
    std::remove(o.file.c_str());
    return report.Failed("the image does not hold the planned boot sector; " + o.file +
                         " was removed");
  }

  const bool fat32 = disk.FatType == CStSDisk::Fat32;
  char line[200];
  std::snprintf(line, sizeof line, "%s: %u sectors of %u bytes", o.file.c_str(), o.sectors,
                o.sectorSize);
  report.Say(line);
  std::snprintf(line, sizeof line,
                "  partition 1: from sector %u, %u sectors, type 0x%02X; geometry %u/%u/%u",
                disk.HiddenSectors(), disk.VolumeSectors(), fat32 ? 0x0B : 0x06,
                disk.Geometry.Cylinders, disk.Geometry.Heads, disk.Geometry.SectorsPerTrack);
  report.Say(line);
  std::snprintf(line, sizeof line, "  %s, %u sectors per cluster, %u clusters, FATs of %u sectors",
                fat32 ? "FAT32" : "FAT16", disk.SectorsPerCluster(), disk.ClusterCount(),
                disk.FatSectors());
  report.Say(line);
  nlohmann::json& j = report.Data();
  j["file"] = o.file;
  j["sectors"] = o.sectors;
  j["sectorSize"] = o.sectorSize;
  j["partitionStart"] = disk.HiddenSectors();
  j["partitionSectors"] = disk.VolumeSectors();
  j["fatType"] = fat32 ? "FAT32" : "FAT16";
  j["sectorsPerCluster"] = disk.SectorsPerCluster();
  j["clusters"] = disk.ClusterCount();
  return report.Done();
}

int RunDemo(Report& report, ProgressStyle style) {
  std::string error;
  auto world = HostWorld::Open({.simulation = std::string()}, error);
  if (!world) return report.Refused(error);
  Library library(world->Services());
  Feedback feedback(report.OutputStyle() == Report::Style::Text ? style : ProgressStyle::None,
                    [&] { return world->Seconds(); });
  const std::string serial = world->DefaultSerial();
  const std::string folder = world->DefaultFolder();

  int result = 0;
  const auto info = QueryDevice(library, serial, result);
  const std::string before = info ? info->FirmwareVersion : "";
  report.Say("kx7fw demo on " + world->Description() + ": a Windows 7 host, player " + serial +
             " at E: with firmware " + before);

  const Report::Style nested =
      report.OutputStyle() == Report::Style::Text ? Report::Style::Text : Report::Style::Silent;
  report.Say("\n1. a normal update");
  Report update("update", nested);
  Context updateContext{*world, library, feedback, update};
  const int updated = RunUpdate(updateContext, serial, folder);
  report.Data()["normalUpdate"] = update.Data();
  if (updated != exit_code::kDone) return report.Refused("the normal update did not succeed");

  report.Say("\n2. a recovery update");
  Report recover("recover", nested);
  Context recoverContext{*world, library, feedback, recover};
  const int recovered = RunRecover(recoverContext, folder);
  report.Data()["recoveryUpdate"] = recover.Data();
  if (recovered != exit_code::kDone) return report.Refused("the recovery update did not succeed");

  const std::string after = recover.Data().value("firmwareAfter", "");
  report.Say("");
  report.Data()["firmwareBefore"] = before;
  report.Data()["firmwareAfter"] = after;
  return report.Done("firmware " + before + " before, " + after + " after both updates");
}

}  // namespace kx7::cli
