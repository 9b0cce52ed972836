#pragma once

// The steps the normal and the recovery update share: the updater is
// downloaded over HID and found again as a mass-storage device, the three
// firmware drives are written and read back, the chip is reset. Each
// procedure builds one UpdateSteps over the library's state and reads as the
// sequence it performs.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "device/device_session.h"
#include "firmware/image_table.h"
#include "platform/platform.h"
#include "util/progress.h"

namespace kx7 {

class HidRecoveryDevice;

// Sets the firmware rows (3 to 5) and, when asked, the updater (6) and
// bootlet (7) rows to files in `folder`.
void SetFirmwarePaths(ImageTable& images, const std::string& folder, bool updater, bool bootlet);

// The player in ROM recovery mode, found and its report sizes read; null when
// none answers over HID.
std::unique_ptr<HidRecoveryDevice> OpenRecoveryDevice(const platform::Services& services,
                                                      ProgressObserver* observer);

class UpdateSteps {
 public:
  UpdateSteps(const platform::Services& services, ProgressObserver* observer, ImageTable& images,
              std::unique_ptr<DeviceSession>& currentDevice, std::atomic<char>& currentDriveLetter)
      : services_(services),
        observer_(observer),
        images_(images),
        currentDevice_(currentDevice),
        currentDriveLetter_(currentDriveLetter) {}

  // Runs one step, told to the observer as it starts and ends; the step's
  // result is handed back.
  template <typename Work>
  bool InStep(Step step, std::uint8_t driveTag, Work&& work) {
    StepScope scope(observer_, step, driveTag);
    return scope.Succeeded(work());
  }
  // A fixed wait that is a step of its own.
  void WaitStep(Step step, std::uint32_t milliseconds);

  // The updater image goes to the player in ROM recovery mode, which then
  // hands over to it.
  bool DownloadUpdaterOverHid();
  // Finds the updater's mass-storage device at a drive letter, locks it and
  // keeps it as the current device; null when there is none or it cannot be
  // locked. The recovery update also records where it appeared.
  DeviceSession* FindUpdaterDevice(bool recordDriveLetter);
  // The updater's session, when it is still there and still the updater.
  DeviceSession* CurrentUpdater();
  void ReleaseCurrentDevice();

  // Each firmware drive erased, stamped and written, in the image table's
  // order; then each read back against its file. False at the first drive
  // that fails.
  bool WriteFirmwareDrives();
  bool VerifyFirmwareDrives();

  // The chip reset on the current device, which is let go either way.
  void ResetChipAndRelease();

 private:
  bool WriteSystemImage(std::size_t index);
  bool VerifySystemImage(std::uint8_t tag);
  bool ResetChip(DeviceSession& device);

  const platform::Services& services_;
  ProgressObserver* observer_;
  ImageTable& images_;
  std::unique_ptr<DeviceSession>& currentDevice_;
  std::atomic<char>& currentDriveLetter_;
};

}  // namespace kx7
