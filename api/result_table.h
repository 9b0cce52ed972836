#pragma once

// Every result code of every export, with what it means: the one table that
// the command-line tool prints from and that docs/api.md is checked against
// (result_table_test). The procedures return the names of result_codes.h;
// this table says what those numbers tell a host application.

#include <string_view>

#include "api/result_codes.h"

namespace kx7::result {

enum class Export {
  MSCDeviceList,
  DeviceSerialNum,
  GetDeviceInfo,
  GetLocalVersion,
  NeedRecovery,
  Detect_HID,
  DoNormalUpdate,
  DoRecoveryUpdate,
  GetFWLibraryVersion,
  GetAPIVersion,
  ChangeUSBMode,
  ResetChipset,
};

struct Meaning {
  Export of;
  int code;
  const char* text;
};

inline constexpr const char* kBusyText = "the library is busy with another operation";

// MSCDeviceList returns a count, and DeviceSerialNum also any system error
// code; neither has more rows than these.
inline constexpr Meaning kMeanings[] = {
    {Export::DeviceSerialNum, 1, "player found"},
    {Export::DeviceSerialNum, 0, "no player at that index"},

    {Export::GetDeviceInfo, kOk, "player found"},
    {Export::GetDeviceInfo, kInfoNoPlayer, "no player found"},
    {Export::GetDeviceInfo, kBusy, kBusyText},
    {Export::GetDeviceInfo, kInfoWrongPlayer,
     "no serial given, or the player is not at that serial's drive letter"},

    {Export::GetLocalVersion, kOk, "version read"},
    {Export::GetLocalVersion, kLocalNullOutput, "no room for the version text"},
    {Export::GetLocalVersion, kLocalBadFile, "firmware.sb is missing or is not a valid SB file"},
    {Export::GetLocalVersion, kBusy, kBusyText},

    {Export::NeedRecovery, kRecoveryNeeded,
     "the new firmware no longer fits the player: recovery needed"},
    {Export::NeedRecovery, kRecoveryNotNeeded,
     "the new firmware fits, or the player is not reachable"},
    {Export::NeedRecovery, kBusy, kBusyText},
    {Export::NeedRecovery, kNeedEmptySerial, "no serial given"},
    {Export::NeedRecovery, kNeedEmptyFolder, "no firmware folder given"},

    {Export::Detect_HID, kOk, "always"},

    {Export::DoNormalUpdate, kOk, "update done"},
    {Export::DoNormalUpdate, kNormalSwitchFailed, "switching the player to updater mode failed"},
    {Export::DoNormalUpdate, kBusy, kBusyText},
    {Export::DoNormalUpdate, kNormalDownloadFailed, "downloading the updater failed"},
    {Export::DoNormalUpdate, kNormalWriteFailed, "writing a firmware image failed"},
    {Export::DoNormalUpdate, kNormalVerifyFailed, "verifying a firmware image failed"},
    {Export::DoNormalUpdate, kNormalUpdaterGone, "the updater went away after the verify"},
    {Export::DoNormalUpdate, kNormalBadSerial, "no player with that serial"},
    {Export::DoNormalUpdate, kNormalEmptyFolder, "no firmware folder given"},

    {Export::DoRecoveryUpdate, kOk, "recovery done"},
    {Export::DoRecoveryUpdate, kBusy, kBusyText},
    {Export::DoRecoveryUpdate, kRecoveryDownloadFailed,
     "downloading the updater failed (is the player in ROM recovery mode?)"},
    {Export::DoRecoveryUpdate, kRecoveryUpdaterNotFound,
     "the updater's drive was not found or could not be locked"},
    {Export::DoRecoveryUpdate, kRecoveryReallocateFailed,
     "re-allocating the player's media failed"},
    {Export::DoRecoveryUpdate, kRecoveryWriteFailed, "writing a firmware image failed"},
    {Export::DoRecoveryUpdate, kRecoveryVerifyFailed, "verifying a firmware image failed"},
    {Export::DoRecoveryUpdate, kRecoverySettingsDriveFailed, "resetting the settings drive failed"},
    {Export::DoRecoveryUpdate, kRecoveryFormatFailed, "formatting the data drive failed"},
    {Export::DoRecoveryUpdate, kRecoveryUpdaterGone, "the updater went away after the bootlet"},
    {Export::DoRecoveryUpdate, kRecoveryEmptyFolder, "no firmware folder given"},

    {Export::GetFWLibraryVersion, kOk, "version written"},
    {Export::GetFWLibraryVersion, kVersionBusy, kBusyText},
    {Export::GetAPIVersion, kOk, "version written"},
    {Export::GetAPIVersion, kVersionBusy, kBusyText},

    {Export::ChangeUSBMode, kUsbModeChanged, "always, when not busy"},
    {Export::ChangeUSBMode, kBusy, kBusyText},
    {Export::ResetChipset, kOk, "always, when not busy"},
    {Export::ResetChipset, kBusy, kBusyText},
};

// What `code` means from `of`; null for a code it never returns.
constexpr const char* MeaningOf(Export of, int code) {
  for (const Meaning& m : kMeanings)
    if (m.of == of && m.code == code) return m.text;
  return nullptr;
}

}  // namespace kx7::result
