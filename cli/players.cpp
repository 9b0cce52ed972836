#include "cli/players.h"

#include <array>
#include <cstring>

#include "device/device_session.h"
#include "device/player_scan.h"
#include "firmware/fw_component.h"
#include "firmware/hid_recovery.h"
#include "host/drive_letters.h"
#include "util/byte_order.h"

namespace kx7::cli {

namespace {
constexpr std::size_t kSerialOffset = 22;  // after "USB\VID_3F1C&PID_7A52\"
constexpr std::size_t kHeaderBytes = 0x60;
}  // namespace

std::string FirstSerial(Library& library) {
  char id[128] = {};
  if (library.DeviceSerialNum(id, 0) != 1 || std::strlen(id) <= kSerialOffset) return "";
  return id + kSerialOffset;
}

std::vector<PlayerEntry> ListPlayers(Library& library) {
  const platform::Services services = library.Services();
  std::vector<PlayerEntry> players;
  char id[128] = {};
  for (int index = 0; library.DeviceSerialNum(id, index) == 1; ++index) {
    if (std::strlen(id) <= kSerialOffset) continue;
    PlayerEntry entry{id + kSerialOffset, 0, "normal"};
    entry.letter = FindDriveLetterForSerial(services, entry.serial);
    players.push_back(entry);
  }
  DeviceSession session(services);
  ForEachPresentLetter(services, [&](char letter) {
    if (session.OpenByDriveLetter(letter) && session.Kind == DeviceKindUpdater)
      players.push_back({"", letter, "updater"});
    session.Close();
    return false;
  });
  return players;
}

std::vector<std::string> RecoveryDevicePaths(Library& library) {
  std::vector<std::string> paths;
  const auto set = library.Services().devices.hidInterfaces();
  if (!set) return paths;
  for (std::uint32_t index = 0;; ++index) {
    const platform::EnumResult result = set->interfaceAt(index);
    if (result == platform::EnumResult::NoMoreItems) break;
    if (result != platform::EnumResult::Ok) continue;
    if (const auto path = set->devicePath(index); path && IsRecoveryDevicePath(*path))
      paths.push_back(*path);
  }
  return paths;
}

std::optional<VersionTriple> FirmwareAt(Library& library, char letter) {
  DeviceSession session(library.Services());
  if (!letter || !session.OpenByDriveLetter(letter)) return std::nullopt;
  const DriveTableEntry* entry = session.Drives.FindByTag(DRIVE_TAG_BOOTMANAGER_S);
  if (!entry) return std::nullopt;
  return entry->Version;
}

std::optional<std::uint64_t> MediaAt(Library& library, char letter) {
  DeviceSession session(library.Services());
  if (!letter || !session.OpenByDriveLetter(letter)) return std::nullopt;
  std::uint64_t total = 0;
  for (const auto& [tag, entry] : session.Drives) total += entry.SizeInBytes;
  if (total == 0) return std::nullopt;
  return total;
}

std::string PlayerNow::Text() const {
  if (mode == "normal")
    return std::string("it runs firmware ") + (firmware.empty() ? "?" : firmware) + " at " +
           std::string(1, letter) + ":";
  if (mode == "updater")
    return "it waits in its updater mode" + (letter ? std::string(" at ") + letter + ":" : "");
  if (mode == "rom-recovery") return "it waits in its ROM recovery mode";
  return "it is not attached now";
}

PlayerNow ProbePlayer(Library& library, const std::string& serial) {
  PlayerNow now;
  if (!serial.empty()) {
    const char letter = FindDriveLetterForSerial(library.Services(), serial);
    DeviceSession session(library.Services());
    if (letter && session.OpenByDriveLetter(letter) && session.Kind == DeviceKindPlayer) {
      now.mode = "normal";
      now.letter = letter;
      if (const DriveTableEntry* entry = session.Drives.FindByTag(DRIVE_TAG_BOOTMANAGER_S)) {
        char text[16];
        std::snprintf(text, sizeof text, "%u.%02u", entry->Version[0], entry->Version[1]);
        now.firmware = text;
      }
      return now;
    }
  }
  for (const PlayerEntry& entry : ListPlayers(library)) {
    if (entry.mode != "updater") continue;
    now.mode = "updater";
    now.letter = entry.letter;
    return now;
  }
  now.mode = RecoveryDevicePresent(library) ? "rom-recovery" : "absent";
  return now;
}

bool RecoveryDevicePresent(Library& library) {
  auto device = HidRecoveryDevice::Create(library.Services());
  device->Handle = device->FindRecoveryHidDevice();
  return !device->Handle.isNull() && device->ReadCaps();
}

std::optional<DeviceInfo> QueryDevice(Library& library, const std::string& serial, int& result) {
  DeviceInfo info{};
  result = library.GetDeviceInfo(serial.c_str(), &info);
  if (result != 0) return std::nullopt;
  return info;
}

std::string VersionText(const VersionTriple& v) {
  char text[24];
  std::snprintf(text, sizeof text, "%u.%02u.%u", v[0], v[1], v[2]);
  return text;
}

SbInspection InspectSbFile(platform::FileSystem& files, const std::string& path) {
  SbInspection out;
  const auto file = files.openForReading(path, platform::OpenMode::Binary);
  if (!file) {
    out.reason = "cannot be opened";
    return out;
  }
  out.size = file->size().value_or(0);
  std::array<std::uint8_t, kHeaderBytes> header{};
  const std::size_t got = file->readAt(0, header);
  if (got < kHeaderBytes) {
    out.reason = "holds " + std::to_string(got) +
                 " bytes; an SB file starts with a header of at least 96 bytes";
    return out;
  }
  out.signature.assign(reinterpret_cast<const char*>(&header[0x14]), 4);
  if (out.signature != "STMP" && out.signature != "RSRC") {
    std::string shown;
    for (char c : out.signature) shown += (c >= 0x20 && c < 0x7F) ? c : '.';
    out.reason = "has \"" + shown + "\" at 0x14 where an SB file has \"STMP\" or \"RSRC\"";
    return out;
  }
  out.newerLayout = std::memcmp(&header[0x34], "sgtl", 4) == 0;
  const std::size_t first = out.newerLayout ? 0x40 : 0x18;
  for (int k = 0; k < 3; ++k) {
    out.product[k] = DecodeBcdVersion(GetLe16(&header[first + 4 * k]));
    out.component[k] = DecodeBcdVersion(GetLe16(&header[first + 12 + 4 * k]));
  }
  // The library's own reading must agree.
  CStFwComponent component;
  if (!component.Load(files, path)) {
    out.reason = "cannot be read whole";
    return out;
  }
  out.valid = true;
  return out;
}

std::vector<std::string> CheckFirmwareFolder(platform::FileSystem& files, const std::string& folder,
                                             bool withBootlet) {
  std::vector<std::string> problems;
  std::vector<const char*> names = {kFirmwareFileName, kUpdaterFileName};
  if (withBootlet) names.push_back(kBootletFileName);
  for (const char* name : names) {
    const SbInspection inspection = InspectSbFile(files, folder + name);
    if (!inspection.valid) problems.push_back(std::string(name) + " " + inspection.reason);
  }
  return problems;
}

}  // namespace kx7::cli
