// The commands around the update: the firmware folder's manifest, the
// settings backups, and the data drive image.
#include <filesystem>
#include <fstream>

#include "cli/command_support.h"
#include "cli/console.h"
#include "cli/manifest.h"
#include "firmware/image_table.h"
#include "media/data_drive_format.h"
#include "sim/scenario/sb_file.h"

namespace kx7::cli {

namespace {

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

bool IsWindowsPath(const std::string& path) {
  return path.size() >= 2 && path[1] == ':';
}

}  // namespace

int RunManifest(Context& c, const std::string& folder, const std::string& output) {
  const std::string target = output.empty() ? folder + kManifestFileName : output;
  if (output.empty() && IsWindowsPath(folder))
    return c.report.Refused(
        "a simulated host's folder cannot be written from here: give --output "
        "FILE, or --output - for standard output");
  if (target == "-" && c.report.OutputStyle() == Report::Style::Json)
    return c.report.Refused("--output - and --json both want standard output");
  std::string why;
  if (target != "-" && !CanWrite(target, why)) return c.report.Refused(why);

  std::vector<std::string> found;
  const std::string text =
      MakeManifest(c.library.Services().files, folder,
                   {kFirmwareFileName, kUpdaterFileName, kBootletFileName}, found);
  if (found.empty()) return c.report.Refused("no firmware file can be read in " + folder);
  for (const std::string& name : found) {
    const SbInspection sb = InspectSbFile(c.library.Services().files, folder + name);
    if (!sb.valid) c.report.Say("  note: " + name + " is not a valid SB file: it " + sb.reason);
  }
  c.report.Data()["files"] = found;
  c.report.Data()["file"] = target;
  if (target == "-") {
    console::Out(text);
    return c.report.Done();
  }
  // Whole or not at all: written beside, then put in place.
  const std::string temporary = target + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) return c.report.Failed("cannot write " + temporary);
  }
  std::error_code error;
  std::filesystem::rename(temporary, target, error);
  if (error) return c.report.Failed("cannot write " + target + ": " + error.message());
  c.report.Say(text.substr(0, text.size() - 1));
  return c.report.Done("wrote " + target + " (" + std::to_string(found.size()) + " files)");
}

int RunBackups(Context& c, const std::string& action, const std::string& serial) {
  Backups& backups = c.world.SettingsBackups();
  if (action == "remove") {
    const auto backup = backups.Of(serial);
    std::string why;
    if (!backup || !backups.Remove(serial, why))
      return c.report.Refused(why.empty() ? "no settings backup of " + serial : why);
    c.report.Data()["removed"] = backup->folder;
    return c.report.Done("removed the settings backup of " + serial + " (" + backup->folder + ")");
  }
  nlohmann::json list = nlohmann::json::array();
  const std::vector<SettingsBackup> all = backups.List();
  c.report.Say(all.empty() ? "no settings backups" : "settings backups:");
  for (const SettingsBackup& b : all) {
    std::string names;
    for (const std::string& name : b.files) names += (names.empty() ? "" : ", ") + name;
    c.report.Say("  " + b.serial + "  " + b.folder + "  " + b.taken + "  " + names);
    list.push_back(
        {{"serial", b.serial}, {"folder", b.folder}, {"taken", b.taken}, {"files", b.files}});
  }
  c.report.Data()["backups"] = list;
  return c.report.Done();
}

int RunFormatImage(Report& report, const ImageOptions& o) {
  if (o.label.size() > 11) return report.Refused("a volume label holds at most 11 characters");
  CStSDisk disk;
  if (!disk.Plan(o.sectors, o.sectorSize, o.label))
    return report.Refused("no FAT16 or FAT32 volume fits " + std::to_string(o.sectors) +
                          " sectors of " + std::to_string(o.sectorSize) + " bytes");
  std::error_code exists;
  if (std::filesystem::exists(o.file, exists) && !o.force)
    return report.Refused(o.file + " exists; give --force to replace it");
  if (std::string why; !CanWrite(o.file, why)) return report.Refused(why);

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

int RunDemo(Report& report, ProgressStyle style, const std::string& program) {
  std::string error;
  auto world = HostWorld::Open({.simulation = std::string()}, error);
  if (!world) return report.Refused(error);
  Library library(world->Services());
  Feedback feedback(report.OutputStyle() == Report::Style::Text ? style : ProgressStyle::None,
                    [&] { return world->Seconds(); });
  feedback.SetTraffic(WatchSteps(*world));
  const Invocation invocation(program, true, "");
  const std::string folder = world->DefaultFolder();

  const auto players = ListPlayers(library);
  const std::string serial = players.empty() ? "" : players.front().serial;
  const auto version = players.empty() ? std::nullopt : FirmwareAt(library, players.front().letter);
  const std::string before = version ? ShortVersion(*version) : "";
  report.Say("kx7fw demo on " + world->Description() + ": a Windows 7 host, player " + serial +
             " at E: with firmware " + before);

  const Report::Style nested =
      report.OutputStyle() == Report::Style::Text ? Report::Style::Text : Report::Style::Silent;
  report.Say("\n1. a normal update");
  Report update("update", nested);
  Context updateContext{*world, library, feedback, update, invocation, ""};
  const int updated = RunUpdate(updateContext, {{serial, true, folder}});
  report.Data()["normalUpdate"] = update.Data();
  if (updated != exit_code::kDone) return report.Refused("the normal update did not succeed");

  report.Say("\n2. a recovery update");
  Report recover("recover", nested);
  Context recoverContext{*world, library, feedback, recover, invocation, ""};
  feedback.ForgetSteps();
  world->Traffic() = TrafficWatch{};
  RecoverOptions options{{serial, true, folder}};
  options.yes = true;
  const int recovered = RunRecover(recoverContext, options);
  report.Data()["recoveryUpdate"] = recover.Data();
  if (recovered != exit_code::kDone) return report.Refused("the recovery update did not succeed");

  const std::string after = recover.Data().value("firmwareAfter", "");
  report.Say("");
  report.Data()["firmwareBefore"] = before;
  report.Data()["firmwareAfter"] = after;
  return report.Done("firmware " + before + " before, " + after + " after both updates");
}

}  // namespace kx7::cli
