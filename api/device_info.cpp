// What the host shows before an update: the attached player (in ROM recovery
// or as a mass-storage drive, with its firmware version and region) and the
// version of the firmware file it is about to install.
#include <cstdio>
#include <cstring>

#include "api/busy_guard.h"
#include "api/library.h"
#include "api/result_codes.h"
#include "api/text_args.h"
#include "api/update_steps.h"
#include "device/player_scan.h"
#include "firmware/fw_component.h"
#include "firmware/hid_recovery.h"
#include "host/drive_letters.h"
#include "host/settings_backup.h"
#include "kx7fw/kx7fw.h"

namespace kx7 {

namespace {

constexpr const char* kModelCode = "KX7TMB";
constexpr const char* kDisplayName = "Korvane Tessio Mirl";
constexpr const char* kFullModelCode = "KX7TMB09VD/52";

// Bounded print of a text into a fixed field, always terminated.
template <std::size_t N>
void SetField(char (&field)[N], const char* text) {
  std::snprintf(field, N, "%s", text);
}

// The region texts the host knows; any other region byte shows as "0".
const char* RegionText(int region) {
  switch (region) {
    case 2:
      return "02";
    case 37:
      return "37";
    case 55:
      return "55";
    case 93:
      return "93";
    case 97:
      return "97";
    default:
      return "0";
  }
}

void FillRecoveryRecord(DeviceInfo& info) {
  SetField(info.Mode, "REC");
  SetField(info.ModelCode, kModelCode);
  SetField(info.Reserved1, "0");
  SetField(info.DisplayName, kDisplayName);
  SetField(info.RegionCode, "0");
  SetField(info.Serial, "0");
  SetField(info.DriveLetterText, "0");
  SetField(info.FirmwareVersion, "0");
  SetField(info.FullModelCode, kFullModelCode);
  info.Reserved2 = 0;
}

// "%01d.%02d": major, a full stop, minor with at least two digits.
void PrintVersion(char* out, std::size_t size, const VersionTriple& version) {
  std::snprintf(out, size, "%01d.%02d", version[0], version[1]);
}

}  // namespace

int Library::GetDeviceInfo(const char* serial, DeviceInfo* info) {
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kBusy;
  DeviceInfo scratch;
  DeviceInfo& out = info ? *info : scratch;
  std::memset(&out, 0, sizeof out);

  // While any player sits in ROM recovery mode, that is the answer.
  if (OpenRecoveryDevice(services_, observer_)) {
    FillRecoveryRecord(out);
    return result::kOk;
  }
  if (IsEmptyText(serial)) return result::kInfoWrongPlayer;

  const char letter = FindDriveLetterForSerial(services_, serial);
  const char letterText[2] = {letter, '\0'};
  SetField(out.DriveLetterText, letterText);
  currentDriveLetter_ = letter;
  // The settings are copied before the device is opened, so that a later
  // recovery can put them back (its result is always 0).
  BackupDeviceSettings(services_, serial, out.DriveLetterText);

  DeviceSession session(services_);
  if (session.OpenByDriveLetter(letter)) {
    if (session.Kind == DeviceKindPlayer || session.Kind == DeviceKindUpdater) {
      SetField(out.Mode, "MSC");
      SetField(out.ModelCode, kModelCode);
    }
    // A player without a firmware drive has no version to show.
    if (const DriveTableEntry* firmware = session.Drives.FindByTag(DRIVE_TAG_BOOTMANAGER_S))
      PrintVersion(out.FirmwareVersion, sizeof out.FirmwareVersion, firmware->Version);
    SetField(out.DisplayName, kDisplayName);
    SetField(out.Reserved1, "0");
    SetField(out.RegionCode, RegionText(ReadRegionCode(services_, letter)));
    // A serial too long for the field is cut to fit.
    SetField(out.Serial, serial);
    SetField(out.FullModelCode, kFullModelCode);
    out.Reserved2 = 0;
    return result::kOk;
  }

  // Not at its letter: is some other player there?
  DeviceSession probe(services_);
  const char other = ForEachPresentLetter(services_, [&](char candidate) {
    return probe.OpenByDriveLetter(candidate) && probe.Kind == DeviceKindPlayer;
  });
  return other != 0 ? result::kInfoWrongPlayer : result::kInfoNoPlayer;
}

int Library::GetLocalVersion(const char* folder, char* out, int outSize) {
  InstallUserLocale();
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kBusy;
  SetFirmwarePaths(images_, folder ? folder : "", false, false);
  if (!out) return result::kLocalNullOutput;

  const CStFwComponent firmware =
      LoadImageForTag(services_.files, images_, DRIVE_TAG_BOOTMANAGER_S);
  if (firmware.FilePath.empty()) return result::kLocalBadFile;

  char text[16];
  PrintVersion(text, sizeof text, firmware.ProductVersion);
  // A buffer that cannot hold the whole text gets none of it: a cut version
  // would be a wrong one.
  if (outSize <= 0 || std::strlen(text) >= static_cast<std::size_t>(outSize)) {
    if (outSize > 0) out[0] = '\0';
    return result::kLocalNullOutput;
  }
  std::memcpy(out, text, std::strlen(text) + 1);
  return result::kOk;
}

}  // namespace kx7
