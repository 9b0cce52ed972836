// The commands that look and do not touch the player's firmware.
#include <cstdio>

#include "cli/commands.h"
#include "cli/players.h"
#include "device/device_session.h"
#include "device/drive_table.h"

namespace kx7::cli {

namespace {

std::string LetterText(char letter) {
  return letter ? std::string(1, letter) + ":" : std::string("-");
}

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

// The player's drive table, as the session at `letter` reads it.
void ShowDrives(Context& c, char letter) {
  DeviceSession session(c.library.Services());
  if (!session.OpenByDriveLetter(letter)) return;
  nlohmann::json drives = nlohmann::json::array();
  c.report.Say("  drives:");
  c.report.Say("    tag   number  type                  size (bytes)  sector  version");
  for (const auto& [tag, entry] : session.Drives) {
    const auto type = DriveTypeNames().find(entry.DriveType);
    const std::string typeName = type == DriveTypeNames().end() ? "?" : std::string(type->second);
    char line[160];
    std::snprintf(line, sizeof line, "    %s  %6u  %-20s  %12llu  %6u  %s", Hex2(tag).c_str(),
                  entry.DriveNumber, typeName.c_str(),
                  static_cast<unsigned long long>(entry.SizeInBytes), entry.SectorSize,
                  VersionText(entry.Version).c_str());
    c.report.Say(line);
    drives.push_back({{"tag", tag},
                      {"number", entry.DriveNumber},
                      {"type", typeName},
                      {"size", entry.SizeInBytes},
                      {"sectorSize", entry.SectorSize},
                      {"version", VersionText(entry.Version)}});
  }
  c.report.Data()["drives"] = drives;
}

}  // namespace

int RunList(Context& c) {
  const auto players = ListPlayers(c.library);
  nlohmann::json list = nlohmann::json::array();
  c.report.Say(players.empty() ? "no player in mass-storage mode"
                               : "players in mass-storage mode:");
  for (const PlayerEntry& p : players) {
    c.report.Say("  " + (p.serial.empty() ? std::string("(updater)") : p.serial) + "  " +
                 LetterText(p.letter) + "  " + p.mode);
    list.push_back({{"serial", p.serial},
                    {"letter", std::string(p.letter ? 1 : 0, p.letter)},
                    {"mode", p.mode}});
  }
  const bool recovery = RecoveryDevicePresent(c.library);
  c.report.Say(recovery ? "a player is in ROM recovery mode (USB HID 066F:3770)"
                        : "no player in ROM recovery mode");
  c.report.Data()["players"] = list;
  c.report.Data()["romRecovery"] = recovery;
  // A player the user may not open is no player to the library: say why.
  if (const std::string problem = c.world.TakeAccessProblem(); !problem.empty()) {
    c.report.Say(problem);
    c.report.Data()["accessProblem"] = problem;
  }
  return c.report.Done();
}

int RunInfo(Context& c, std::string serial) {
  if (serial.empty()) serial = FirstSerial(c.library);
  int result = 0;
  const auto info = QueryDevice(c.library, serial, result);
  if (!info) return c.report.Failed(Operation::GetDeviceInfo, result);
  const bool recovery = std::string(info->Mode) == "REC";
  c.report.Say(std::string(info->DisplayName) + " " + info->ModelCode + " (" + info->FullModelCode +
               ")");
  if (recovery) {
    c.report.Say("  mode      ROM recovery (REC)");
  } else {
    c.report.Say(std::string("  mode      mass storage (") + info->Mode + ")");
    c.report.Say(std::string("  serial    ") + info->Serial);
    c.report.Say(std::string("  drive     ") + info->DriveLetterText + ":");
    c.report.Say(std::string("  firmware  ") + info->FirmwareVersion);
    c.report.Say(std::string("  region    ") + info->RegionCode);
  }
  nlohmann::json& data = c.report.Data();
  data["mode"] = info->Mode;
  data["modelCode"] = info->ModelCode;
  data["displayName"] = info->DisplayName;
  data["fullModelCode"] = info->FullModelCode;
  data["serial"] = info->Serial;
  data["driveLetter"] = info->DriveLetterText;
  data["firmwareVersion"] = info->FirmwareVersion;
  data["regionCode"] = info->RegionCode;
  if (!recovery && info->DriveLetterText[0]) ShowDrives(c, info->DriveLetterText[0]);
  return c.report.Succeeded(Operation::GetDeviceInfo, result);
}

int RunLocalVersion(Context& c, const std::string& folder) {
  char version[16] = {};
  const int result = c.library.GetLocalVersion(folder.c_str(), version, sizeof version);
  if (result != 0) return c.report.Failed(Operation::GetLocalVersion, result);
  c.report.Say("firmware.sb in " + folder + ": version " + version);
  c.report.Data()["version"] = version;
  return c.report.Succeeded(Operation::GetLocalVersion, result);
}

int RunInspect(Context& c, const std::string& file) {
  const SbInspection sb = InspectSbFile(c.library.Services().files, file);
  nlohmann::json& data = c.report.Data();
  data["file"] = file;
  data["valid"] = sb.valid;
  if (!sb.valid) {
    data["reason"] = sb.reason;
    c.report.Say(file + " is not a valid SB file: it " + sb.reason);
    return c.report.Refused(file + " is not a valid SB file");
  }
  c.report.Say(file + ": SB firmware image");
  c.report.Say("  signature          " + sb.signature);
  c.report.Say(
      std::string("  header layout      ") +
      (sb.newerLayout ? "newer (\"sgtl\" at 0x34, versions at 0x40)" : "older (versions at 0x18)"));
  c.report.Say("  product version    " + VersionText(sb.product));
  c.report.Say("  component version  " + VersionText(sb.component));
  c.report.Say("  size               " + std::to_string(sb.size) + " bytes");
  data["signature"] = sb.signature;
  data["layout"] = sb.newerLayout ? "newer" : "older";
  data["productVersion"] = VersionText(sb.product);
  data["componentVersion"] = VersionText(sb.component);
  data["size"] = sb.size;
  return c.report.Done();
}

int RunNeedRecovery(Context& c, const std::string& serial, const std::string& folder) {
  const int result = c.library.NeedRecovery(serial.c_str(), folder.c_str());
  c.report.Data()["needRecovery"] = result == 0;
  if (result == 0) {
    c.report.Say("recovery needed: the new firmware no longer fits the player's system drives");
    return c.report.Answered(Operation::NeedRecovery, result, "recovery needed");
  }
  if (result == 1) {
    c.report.Say("no recovery needed: the new firmware fits (or the player is not reachable)");
    return c.report.Answered(Operation::NeedRecovery, result, "no recovery needed");
  }
  return c.report.Failed(Operation::NeedRecovery, result);
}

}  // namespace kx7::cli
