// The normal update: a running player is sent into its ROM's recovery mode,
// given the updater over HID, found again as the updater's mass-storage
// device, and its three firmware drives are rewritten and read back.
#include <algorithm>

#include "api/busy_guard.h"
#include "api/library.h"
#include "api/result_codes.h"
#include "api/text_args.h"
#include "device/commands.h"
#include "device/player_scan.h"
#include "firmware/fw_component.h"
#include "firmware/hid_recovery.h"
#include "host/autoplay_reject.h"
#include "host/drive_letters.h"
#include "media/drive_image.h"

namespace kx7 {

namespace {
// The player reboots into its ROM's recovery mode.
constexpr std::uint32_t kRecoveryEntryWaitMs = 15000;
// The updater starts and the player comes back as a mass-storage device.
constexpr std::uint32_t kUpdaterStartWaitMs = 15000;
// The updater's volume settles after it was found and locked.
constexpr std::uint32_t kUpdaterSettleWaitMs = 5000;
// After a download the ROM hands over to the updater.
constexpr std::uint32_t kAfterDownloadWaitMs = 5000;
}  // namespace

bool Library::SwitchPlayerToUpdater() {
  DeviceSession session(services_);
  if (!session.OpenByDriveLetter(currentDriveLetter_) || session.Kind != DeviceKindPlayer)
    return false;
  return session.ResetToRecovery();
}

std::unique_ptr<HidRecoveryDevice> Library::OpenRecoveryDevice() {
  // Every host this library knows of passes the system check.
  const int os = ClassifyHostOs(services_);
  if (os == 0 || os == 1) return nullptr;
  auto device = HidRecoveryDevice::Create(services_);
  device->Observer = observer_;
  device->Handle = device->FindRecoveryHidDevice();
  if (device->Handle.isNull() || !device->ReadCaps()) return nullptr;
  return device;
}

bool Library::DownloadUpdaterOverHid() {
  const auto device = OpenRecoveryDevice();
  if (!device || !device->DownloadImage(images_)) return false;
  services_.clock.sleep(kAfterDownloadWaitMs);
  return true;
}

DeviceSession* Library::FindUpdaterDevice(bool recordDriveLetter) {
  // A record left by an earlier failed update is dead weight, and its handle
  // would keep the new lock from being taken: let it go first.
  ReleaseCurrentDevice();
  auto session = std::make_unique<DeviceSession>(services_);
  session->Observer = observer_;
  const char letter = ForEachPresentLetter(services_, [&](char candidate) {
    return session->OpenByDriveLetter(candidate) && session->Kind == DeviceKindUpdater;
  });
  if (letter == 0 || !session->LockVolume()) return nullptr;
  if (recordDriveLetter) currentDriveLetter_ = letter;
  currentDevice_ = std::move(session);
  return currentDevice_.get();
}

void Library::ReleaseAtUnload() {
  if (!currentDevice_) return;
  currentDevice_->ReleaseAtUnload();
  currentDevice_.reset();
}

void Library::ReleaseCurrentDevice() {
  if (!currentDevice_) return;
  if (currentDevice_->VolumeLocked) currentDevice_->UnlockVolume();
  currentDevice_->Close();
  currentDevice_.reset();
}

bool Library::WriteSystemImage(std::size_t index) {
  if (!currentDevice_ || index >= std::size(image_row::kApplicationImages)) return false;
  const std::uint8_t tag = images_[image_row::kApplicationImages[index]].DriveTag;
  const CStFwComponent component = LoadImageForTag(services_.files, images_, tag);
  if (component.FilePath.empty()) return false;
  // The bytes are read before the drive is touched: a file that cannot be
  // read whole leaves the drive as it was.
  std::vector<std::uint8_t> image;
  if (!ReadImageFile(services_.files, component, image)) return false;
  DeviceSession& device = *currentDevice_;
  if (!InStep(Step::EraseDrive, tag, [&] { return EraseDrive(device, tag); })) return false;
  if (!InStep(Step::StampVersions, tag, [&] {
        return SetDriveVersions(device, tag, component.ProductVersion, component.ComponentVersion);
      }))
    return false;
  return InStep(Step::WriteDrive, tag, [&] { return WriteDriveImage(device, tag, image); });
}

bool Library::VerifySystemImage(std::uint8_t tag) {
  if (!currentDevice_) return false;
  return InStep(Step::VerifyDrive, tag, [&] {
    const CStFwComponent component = LoadImageForTag(services_.files, images_, tag);
    if (component.FilePath.empty()) return false;
    std::vector<std::uint8_t> image;
    if (!ReadImageFile(services_.files, component, image)) return false;
    // Each chunk read back is judged as it arrives: the image's bytes where
    // the image lies, erased flash (0xFF) in the rest of its last sector.
    std::uint64_t total = 0;
    const bool matches = ReadDriveImageChunks(
        *currentDevice_, images_, tag, total,
        [&](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
          const std::size_t inImage = offset < image.size()
                                          ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                                bytes.size(), image.size() - offset))
                                          : 0;
          const auto split = bytes.begin() + static_cast<std::ptrdiff_t>(inImage);
          if (inImage != 0 && !std::equal(bytes.begin(), split,
                                          image.begin() + static_cast<std::ptrdiff_t>(offset)))
            return false;
          return std::all_of(split, bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
        });
    // A read-back shorter than the image cannot match.
    return matches && total >= image.size();
  });
}

void Library::WaitStep(Step step, std::uint32_t milliseconds) {
  InStep(step, 0, [&] {
    services_.clock.sleep(milliseconds);
    return true;
  });
}

bool Library::ResetChip(DeviceSession& device) {
  CStChipReset reset;
  if (!reset.Send(device.Io(), device.VolumeHandle)) return false;
  // The chip is restarting: the handle is gone with it.
  device.DropHandle();
  return true;
}

int Library::DoNormalUpdate(const char* serial, const char* folder) {
  InstallUserLocale();
  // Held to every return, the busy one included: the player's volumes come
  // and go during an update and must not start AutoPlay.
  CAutoPlayReject autoPlay(services_);
  autoPlay.RegisterInRunningObjectTable();
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kBusy;
  if (IsEmptyText(serial)) return result::kNormalBadSerial;
  if (IsEmptyText(folder)) return result::kNormalEmptyFolder;

  currentDriveLetter_ = FindDriveLetterForSerial(services_, serial);
  if (currentDriveLetter_ == 0) return result::kNormalBadSerial;
  SetFirmwarePaths(folder, true, false);

  if (!InStep(Step::SwitchToRecovery, 0, [&] { return SwitchPlayerToUpdater(); }))
    return result::kNormalSwitchFailed;
  WaitStep(Step::WaitForRecoveryDevice, kRecoveryEntryWaitMs);
  if (!InStep(Step::DownloadUpdater, 0, [&] { return DownloadUpdaterOverHid(); }))
    return result::kNormalDownloadFailed;
  // A missing updater shows up as a failure of the first write.
  InStep(Step::WaitForUpdaterDrive, 0, [&] {
    services_.clock.sleep(kUpdaterStartWaitMs);
    const bool found = FindUpdaterDevice(false) != nullptr;
    services_.clock.sleep(kUpdaterSettleWaitMs);
    return found;
  });

  for (std::size_t index = 0; index < std::size(image_row::kApplicationImages); ++index)
    if (!WriteSystemImage(index)) return result::kNormalWriteFailed;
  for (std::size_t row : image_row::kApplicationImages)
    if (!VerifySystemImage(images_[row].DriveTag)) return result::kNormalVerifyFailed;
  if (!currentDevice_ || currentDevice_->Kind != DeviceKindUpdater)
    return result::kNormalUpdaterGone;

  InStep(Step::ResetChip, 0, [&] {
    const bool reset = ResetChip(*currentDevice_);
    ReleaseCurrentDevice();
    return reset;
  });
  return result::kOk;
}

}  // namespace kx7
