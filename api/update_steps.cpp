#include "api/update_steps.h"

#include <algorithm>

#include "device/commands.h"
#include "device/player_scan.h"
#include "firmware/fw_component.h"
#include "firmware/hid_recovery.h"
#include "host/drive_letters.h"
#include "media/drive_image.h"

namespace kx7 {

namespace {
// After a download the ROM hands over to the updater.
constexpr std::uint32_t kAfterDownloadWaitMs = 5000;
}  // namespace

void SetFirmwarePaths(ImageTable& images, const std::string& folder, bool updater, bool bootlet) {
  // The caller's folder ends in a separator; names are appended as they are.
  for (std::size_t row : image_row::kApplicationImages)
    images[row].FilePath = folder + kFirmwareFileName;
  if (updater) images[image_row::kUpdater].FilePath = folder + kUpdaterFileName;
  if (bootlet) images[image_row::kLbaBootlet].FilePath = folder + kBootletFileName;
}

std::unique_ptr<HidRecoveryDevice> OpenRecoveryDevice(const platform::Services& services,
                                                      ProgressObserver* observer) {
  // No system check: every host class (HostOs) may reach a player in ROM
  // recovery mode.
  auto device = HidRecoveryDevice::Create(services);
  device->Observer = observer;
  device->Handle = device->FindRecoveryHidDevice();
  if (device->Handle.isNull() || !device->ReadCaps()) return nullptr;
  return device;
}

void UpdateSteps::WaitStep(Step step, std::uint32_t milliseconds) {
  InStep(step, 0, [&] {
    services_.clock.sleep(milliseconds);
    return true;
  });
}

bool UpdateSteps::DownloadUpdaterOverHid() {
  const auto device = OpenRecoveryDevice(services_, observer_);
  if (!device || !device->DownloadImage(images_)) return false;
  services_.clock.sleep(kAfterDownloadWaitMs);
  return true;
}

DeviceSession* UpdateSteps::FindUpdaterDevice(bool recordDriveLetter) {
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

DeviceSession* UpdateSteps::CurrentUpdater() {
  return currentDevice_ && currentDevice_->Kind == DeviceKindUpdater ? currentDevice_.get()
                                                                     : nullptr;
}

void UpdateSteps::ReleaseCurrentDevice() {
  if (!currentDevice_) return;
  // A failed unlock changes nothing here: Close unlocks once more and the
  // closed handle releases the lock.
  if (currentDevice_->VolumeLocked) currentDevice_->UnlockVolume();
  currentDevice_->Close();
  currentDevice_.reset();
}

bool UpdateSteps::WriteFirmwareDrives() {
  for (std::size_t index = 0; index < std::size(image_row::kApplicationImages); ++index)
    if (!WriteSystemImage(index)) return false;
  return true;
}

bool UpdateSteps::VerifyFirmwareDrives() {
  for (std::size_t row : image_row::kApplicationImages)
    if (!VerifySystemImage(images_[row].DriveTag)) return false;
  return true;
}

void UpdateSteps::ResetChipAndRelease() {
  // The step's result goes only to the observer: the firmware is written and
  // read back by now, whichever way the reset went.
  InStep(Step::ResetChip, 0, [&] {
    const bool reset = ResetChip(*currentDevice_);
    ReleaseCurrentDevice();
    return reset;
  });
}

bool UpdateSteps::WriteSystemImage(std::size_t index) {
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

bool UpdateSteps::VerifySystemImage(std::uint8_t tag) {
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

bool UpdateSteps::ResetChip(DeviceSession& device) {
  CStChipReset reset;
  if (!reset.Send(device.Io(), device.VolumeHandle)) return false;
  // The chip is restarting: the handle is gone with it.
  device.DropHandle();
  return true;
}

}  // namespace kx7
