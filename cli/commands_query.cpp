// The commands that look and do not touch the player's firmware.
#include <cstdio>

#include "cli/command_support.h"
#include "cli/layout_fit.h"
#include "device/device_session.h"
#include "device/drive_table.h"
#include "firmware/image_table.h"

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

nlohmann::json TextOrNull(const char* text) {
  return text[0] ? nlohmann::json(text) : nlohmann::json(nullptr);
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

// No player at all, or a serial that names none: both refused, with what is
// attached.
int NoSuchPlayer(Context& c, const Target& target, const std::string& doing) {
  c.report.Tell(
      {std::nullopt, "unchanged", "", "plug the player in and run", c.invocation.Command({doing})});
  if (target.serialGiven)
    return c.report.Refused("no player with serial " + target.serial + " is attached");
  return c.report.Refused("no player is attached");
}

}  // namespace

int RunList(Context& c) {
  const auto players = ListPlayers(c.library);
  nlohmann::json list = nlohmann::json::array();
  c.report.Say(players.empty() ? "no player in mass-storage mode"
                               : "players in mass-storage mode:");
  for (const PlayerEntry& p : players) {
    const auto firmware = p.mode == "normal" ? FirmwareAt(c.library, p.letter) : std::nullopt;
    const std::string version = firmware ? ShortVersion(*firmware) : "";
    c.report.Say("  " + (p.serial.empty() ? std::string("(updater)") : p.serial) + "  " +
                 LetterText(p.letter) + "  " + p.mode +
                 (version.empty() ? "" : "  firmware " + version));
    list.push_back(
        {{"serial", p.serial.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.serial)},
         {"letter", p.letter ? nlohmann::json(std::string(1, p.letter)) : nlohmann::json(nullptr)},
         {"mode", p.mode},
         {"firmwareVersion", version.empty() ? nlohmann::json(nullptr) : nlohmann::json(version)}});
  }
  const std::vector<std::string> roms = RecoveryDevicePaths(c.library);
  if (roms.empty()) {
    c.report.Say("no player in ROM recovery mode");
  } else {
    c.report.Say(std::to_string(roms.size()) + (roms.size() == 1 ? " player is" : " players are") +
                 " in ROM recovery mode (USB HID 066F:3770):");
    for (const std::string& path : roms) c.report.Say("  " + path);
  }
  c.report.Data()["players"] = list;
  c.report.Data()["romRecovery"] = !roms.empty();
  c.report.Data()["romRecoveryDevices"] = roms;
  // A player the user may not open is no player to the library: say why.
  SayAccessProblem(c);
  return c.report.Done();
}

int RunInfo(Context& c, const Target& target) {
  std::string serial = target.serial;
  const std::vector<std::string> roms = RecoveryDevicePaths(c.library);
  if (!target.serialGiven && roms.empty()) {
    const Chosen chosen = ChoosePlayer(c, target, "to look at");
    if (chosen.kind == Chosen::Kind::Refused) return chosen.exitCode;
    if (chosen.kind == Chosen::Kind::None) return NoSuchPlayer(c, target, "info");
    serial = chosen.player.serial;
  }
  int result = 0;
  const auto info = QueryDevice(c.library, serial, result);
  if (!info) {
    if (result == 1 || result == 5) return NoSuchPlayer(c, target, "info");
    return c.report.Failed(Operation::GetDeviceInfo, result);
  }
  const bool recovery = std::string(info->Mode) == "REC";
  c.report.Say(std::string(info->DisplayName) + " " + info->ModelCode + " (" + info->FullModelCode +
               ")");
  nlohmann::json& data = c.report.Data();
  data["mode"] = info->Mode;
  data["modelCode"] = info->ModelCode;
  data["displayName"] = info->DisplayName;
  data["fullModelCode"] = info->FullModelCode;
  data["recoveryNeeded"] = recovery;
  if (recovery) {
    // The library fills "0" where a player in ROM recovery mode tells nothing.
    data["serial"] = data["driveLetter"] = data["firmwareVersion"] = data["regionCode"] = nullptr;
    c.report.Say("  mode      ROM recovery (REC): it shows no serial, drive or firmware");
    c.report.Tell({std::nullopt, "rom-recovery", "it waits in its ROM recovery mode",
                   "rebuild it:", c.invocation.Command({"recover"})});
    return c.report.Answered(Operation::GetDeviceInfo, result, "recovery needed");
  }
  c.report.Say(std::string("  mode      mass storage (") + info->Mode + ")");
  c.report.Say(std::string("  serial    ") + info->Serial);
  c.report.Say(std::string("  drive     ") + info->DriveLetterText + ":");
  c.report.Say(std::string("  firmware  ") + info->FirmwareVersion);
  const bool knownRegion = std::string(info->RegionCode) != "0";
  c.report.Say(std::string("  region    ") + (knownRegion ? info->RegionCode : "unknown"));
  data["serial"] = TextOrNull(info->Serial);
  data["driveLetter"] = TextOrNull(info->DriveLetterText);
  data["firmwareVersion"] = TextOrNull(info->FirmwareVersion);
  data["regionCode"] = knownRegion ? nlohmann::json(info->RegionCode) : nlohmann::json(nullptr);
  if (const auto backup = c.world.SettingsBackups().Of(info->Serial)) {
    c.report.Say("  settings  backed up in " + backup->folder + " (" + backup->taken + ")");
    data["settingsBackup"] = {{"folder", backup->folder}, {"taken", backup->taken}};
  }
  if (info->DriveLetterText[0]) ShowDrives(c, info->DriveLetterText[0]);
  return c.report.Succeeded(Operation::GetDeviceInfo, result);
}

int RunLocalVersion(Context& c, const std::string& folder) {
  char version[16] = {};
  const int result = c.library.GetLocalVersion(folder.c_str(), version, sizeof version);
  if (result == 2) {
    c.report.Say(folder + kFirmwareFileName + " is missing or not a valid SB file");
    return c.report.Refused("the firmware folder is not usable");
  }
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

int RunNeedRecovery(Context& c, const Target& target) {
  if (!FolderUsable(c, target.folder, false))
    return c.report.Refused("the firmware folder is not usable");
  const Chosen chosen = ChoosePlayer(c, target, "to ask about");
  if (chosen.kind == Chosen::Kind::Refused) return chosen.exitCode;
  if (chosen.kind == Chosen::Kind::None) {
    if (RecoveryDevicePaths(c.library).empty()) return NoSuchPlayer(c, target, "need-recovery");
    c.report.Data()["needRecovery"] = true;
    c.report.Data()["reason"] = "rom-recovery";
    c.report.Say("recovery needed: the player is in ROM recovery mode");
    c.report.Tell({std::nullopt, "rom-recovery", "it waits in its ROM recovery mode",
                   "rebuild it:", c.invocation.Command({"recover", target.folder})});
    return c.report.Answered("recovery needed");
  }
  const std::string& serial = chosen.player.serial;
  const int result = c.library.NeedRecovery(serial.c_str(), target.folder.c_str());
  c.report.Data()["serial"] = serial;
  c.report.Data()["needRecovery"] = result == 0;
  if (result == 0) {
    c.report.Data()["reason"] = "firmware-too-large";
    c.report.Say("recovery needed: the new firmware no longer fits the player's system drives");
    if (const std::string misfit = LayoutMisfit(c, chosen.player.letter, target.folder);
        !misfit.empty()) {
      // A rebuild would not fit either: recover refuses it.
      c.report.Say("and a recovery cannot help: " + misfit);
      c.report.Data()["recoveryFits"] = false;
      c.report.Tell({std::nullopt, "unchanged", "it keeps its firmware",
                     "this firmware is too large for the player; to try a recovery all the same:",
                     c.invocation.Command({"recover", serial, target.folder, "--force"})});
    } else {
      c.report.Data()["recoveryFits"] = true;
      c.report.Tell({std::nullopt, "unchanged", "it keeps its firmware",
                     "rebuild it (its files are kept):",
                     c.invocation.Command({"recover", serial, target.folder})});
    }
    return c.report.Answered(Operation::NeedRecovery, result, "recovery needed");
  }
  if (result == 1) {
    c.report.Data()["reason"] = nullptr;
    c.report.Say("no recovery needed: the new firmware fits " + serial + "'s system drives");
    return c.report.Answered(Operation::NeedRecovery, result, "no recovery needed");
  }
  return c.report.Failed(Operation::NeedRecovery, result);
}

}  // namespace kx7::cli
