// The recovery update rebuilds a player that sits in its ROM's recovery
// mode: the updater is downloaded over HID, the whole internal media is
// re-allocated around the new firmware, the firmware is written and read
// back, the settings drive is reset, the data drive gets a fresh file
// system, the bootlet is written, and once the player is back in normal
// mode the user's saved settings go back onto it.
#include "api/busy_guard.h"
#include "api/library.h"
#include "api/result_codes.h"
#include "api/text_args.h"
#include "api/update_steps.h"
#include "device/commands.h"
#include "device/player_scan.h"
#include "firmware/fw_component.h"
#include "host/autoplay_reject.h"
#include "host/drive_letters.h"
#include "host/settings_backup.h"
#include "media/data_drive_format.h"
#include "media/drive_image.h"

namespace kx7 {

namespace {
// The updater starts and comes up as a mass-storage device.
constexpr std::uint32_t kUpdaterAppearWaitMs = 10000;
// The updater's volume settles before its media is re-allocated.
constexpr std::uint32_t kBeforeReallocateWaitMs = 2000;
// The player restarts in normal mode after the chip reset.
constexpr std::uint32_t kRestartWaitMs = 7000;
// The restored files settle before the host goes on.
constexpr std::uint32_t kAfterRestoreWaitMs = 5000;

constexpr std::uint8_t kEraseWholeMedia = 0;
constexpr std::size_t kAllocationRows = 7;
constexpr std::size_t kFirstFreeFirmwareRow = 4;
constexpr std::size_t kBootletAllocationRow = 6;
constexpr std::size_t kSettingsResetBytes = 256;

// The whole media erased and re-allocated around the new firmware: each
// firmware drive sized to its image, the bootlet's drive to the bootlet.
bool ReallocateMedia(const platform::Services& services, const ImageTable& images,
                     DeviceSession& device) {
  CStEraseLogicalMedia erase(kEraseWholeMedia);
  if (!erase.Send(device.Io(), device.VolumeHandle)) return false;

  std::vector<MediaAllocationEntry> table(kAllocationRows);
  table[1] = {0, DriveTypeData, images[image_row::kDataDrive].DriveTag, 0};
  table[2] = {0, DriveTypeHiddenData, images[image_row::kJanusDrive].DriveTag, 0};
  table[3] = {0, DriveTypeHiddenData, images[image_row::kPersistentData].DriveTag, 0};
  // Each firmware drive is sized to the image; the first system drive leads.
  std::size_t next = kFirstFreeFirmwareRow;
  for (std::size_t row : image_row::kApplicationImages) {
    CStFwComponent firmware;
    if (!firmware.Load(services.files, images[row].FilePath)) return false;
    const MediaAllocationEntry entry{0, DriveTypeSystem, images[row].DriveTag, firmware.ImageSize};
    if (entry.DriveTag == DRIVE_TAG_BOOTMANAGER_S)
      table[0] = entry;
    else if (next < kBootletAllocationRow)
      table[next++] = entry;
    else
      return false;
  }
  CStFwComponent bootlet;
  if (!bootlet.Load(services.files, images[image_row::kLbaBootlet].FilePath)) return false;
  table[kBootletAllocationRow] = {0, DriveTypeLbanand, images[image_row::kLbaBootlet].DriveTag,
                                  bootlet.ImageSize};

  CStAllocateLogicalMedia allocate(table);
  if (!allocate.Send(device.Io(), device.VolumeHandle)) return false;
  // The player numbers and sizes its drives anew: what it reported before
  // the allocation no longer names them.
  return device.LoadDriveTable();
}

bool ResetSettingsDrive(DeviceSession& device) {
  const std::vector<std::uint8_t> erased(kSettingsResetBytes, 0xFF);
  return EraseDrive(device, DRIVE_TAG_DATA_SETTINGS) &&
         WriteDriveImage(device, DRIVE_TAG_DATA_SETTINGS, erased);
}

bool FormatDataDriveStep(DeviceSession& device) {
  if (!EraseDrive(device, DRIVE_TAG_DATA)) return false;
  CStReadCapacity capacity;
  std::uint32_t lastLba = 0;
  std::uint32_t blockLength = 0;
  if (!capacity.Send(device.Io(), device.VolumeHandle) ||
      !capacity.GetLastLogicalBlockAddress(lastLba) || !capacity.GetBlockLength(blockLength))
    return false;
  device.SectorCount = lastLba + 1;
  device.SectorSize = static_cast<std::uint16_t>(blockLength);
  SectorWriter writer{&device, device.SectorSize};
  return FormatDataDrive(writer, device.SectorSize, "", device.SectorCount);
}

bool WriteBootlet(const platform::Services& services, const ImageTable& images,
                  DeviceSession& device, std::uint8_t tag) {
  CStFwComponent bootlet;
  // A file that does not load leaves FilePath empty, which is checked next.
  bootlet.Load(services.files, images[image_row::kLbaBootlet].FilePath);
  if (bootlet.FilePath.empty() || !EraseDrive(device, tag)) return false;
  std::vector<std::uint8_t> bytes;
  if (!ReadImageFile(services.files, bootlet, bytes)) return false;
  return WriteDriveImage(device, tag, bytes);
}

// The saved settings go back onto every player in normal mode.
void RestoreSettingsOnPlayers(const platform::Services& services) {
  ForEachPresentLetter(services, [&](char letter) {
    DeviceSession session(services);
    if (session.OpenByDriveLetter(letter) && session.Kind == DeviceKindPlayer) {
      const std::optional<std::string> serial = FindSerialForDriveLetter(services, letter);
      // Its result is always 0: a file that does not go back is left out.
      RestoreDeviceSettings(services, serial.value_or(""), std::string(1, letter));
    }
    session.Close();
    return false;  // every letter
  });
}

}  // namespace

int Library::DoRecoveryUpdate(const char*, const char* folder) {
  InstallUserLocale();
  // Held to every return, the busy one included: the player's volumes come
  // and go during an update and must not start AutoPlay.
  CAutoPlayReject autoPlay(services_);
  // Not checked: without it AutoPlay may open a window, which stops nothing.
  autoPlay.RegisterInRunningObjectTable();
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kBusy;
  if (IsEmptyText(folder)) return result::kRecoveryEmptyFolder;
  SetFirmwarePaths(images_, folder, true, true);
  UpdateSteps steps(services_, observer_, images_, currentDevice_, currentDriveLetter_);

  if (!steps.InStep(Step::DownloadUpdater, 0, [&] { return steps.DownloadUpdaterOverHid(); }))
    return result::kRecoveryDownloadFailed;
  if (!steps.InStep(Step::WaitForUpdaterDrive, 0, [&] {
        services_.clock.sleep(kUpdaterAppearWaitMs);
        if (!steps.FindUpdaterDevice(true)) return false;
        services_.clock.sleep(kBeforeReallocateWaitMs);
        return true;
      }))
    return result::kRecoveryUpdaterNotFound;

  DeviceSession* updater = steps.CurrentUpdater();
  if (!updater || !steps.InStep(Step::ReallocateMedia, 0,
                                [&] { return ReallocateMedia(services_, images_, *updater); }))
    return result::kRecoveryReallocateFailed;
  if (!steps.WriteFirmwareDrives()) return result::kRecoveryWriteFailed;
  if (!steps.VerifyFirmwareDrives()) return result::kRecoveryVerifyFailed;
  updater = steps.CurrentUpdater();
  if (!updater || !steps.InStep(Step::ResetSettingsDrive, DRIVE_TAG_DATA_SETTINGS,
                                [&] { return ResetSettingsDrive(*updater); }))
    return result::kRecoverySettingsDriveFailed;
  updater = steps.CurrentUpdater();
  if (!updater || !steps.InStep(Step::FormatDataDrive, DRIVE_TAG_DATA,
                                [&] { return FormatDataDriveStep(*updater); }))
    return result::kRecoveryFormatFailed;
  // Not checked: a bootlet that did not go in does not stop the rebuild.
  const std::uint8_t bootletTag = images_[image_row::kLbaBootlet].DriveTag;
  steps.InStep(Step::WriteBootlet, bootletTag,
               [&] { return WriteBootlet(services_, images_, *updater, bootletTag); });
  if (!steps.CurrentUpdater()) return result::kRecoveryUpdaterGone;
  steps.ResetChipAndRelease();
  steps.WaitStep(Step::WaitForRestart, kRestartWaitMs);
  steps.InStep(Step::RestoreSettings, 0, [&] {
    RestoreSettingsOnPlayers(services_);
    services_.clock.sleep(kAfterRestoreWaitMs);
    return true;
  });
  return result::kOk;
}

}  // namespace kx7
