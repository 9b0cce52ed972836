#pragma once

// What a host application can follow of an update while the library works:
// each step as it starts and ends, the bytes of each transfer, the time of
// each fixed wait. Nothing here is needed for an update to run; with no
// observer nothing is reported and nothing is paid for.

#include <cstdint>

namespace kx7 {

enum class Step {
  SwitchToRecovery,       // the player is told to restart in its ROM's recovery mode
  WaitForRecoveryDevice,  // it restarts
  DownloadUpdater,        // the updater goes over HID (bytes of the updater)
  WaitForUpdaterDrive,    // the updater starts, is found at a letter and locked
  ReallocateMedia,        // the media is erased and re-allocated
  EraseDrive,             // per drive tag
  StampVersions,          // per drive tag
  WriteDrive,             // per drive tag (bytes of the image)
  VerifyDrive,            // per drive tag (bytes of the image read back)
  ResetSettingsDrive,     // the settings drive is erased and blanked
  FormatDataDrive,        // partition table and file system (bytes written)
  WriteBootlet,           // the bootlet drive (bytes of the bootlet)
  ResetChip,              // the updater restarts the player
  WaitForRestart,         // the player comes back in normal mode
  RestoreSettings,        // the saved settings go back onto the player
};

// A name for each step, for people to read.
const char* StepName(Step step);

class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  // `driveTag` names the drive of a per-drive step, else 0.
  virtual void StepStarted(Step step, std::uint8_t driveTag) = 0;
  virtual void StepEnded(Step step, std::uint8_t driveTag, bool succeeded) = 0;
  // Within the current step: `done` of `total` bytes moved.
  virtual void Transferred(std::uint64_t done, std::uint64_t total) = 0;
  // Within the current step: `elapsedMs` of a fixed wait of `totalMs` passed.
  virtual void Waited(std::uint32_t elapsedMs, std::uint32_t totalMs) = 0;
};

inline void ReportTransferred(ProgressObserver* observer, std::uint64_t done, std::uint64_t total) {
  if (observer) observer->Transferred(done < total ? done : total, total);
}

// Announces a step for as long as it lives; the step ends failed unless
// Succeeded() said otherwise.
class StepScope {
 public:
  StepScope(ProgressObserver* observer, Step step, std::uint8_t driveTag = 0)
      : observer_(observer), step_(step), tag_(driveTag) {
    if (observer_) observer_->StepStarted(step_, tag_);
  }
  ~StepScope() {
    if (observer_) observer_->StepEnded(step_, tag_, succeeded_);
  }
  StepScope(const StepScope&) = delete;
  StepScope& operator=(const StepScope&) = delete;

  // Records the outcome and hands it back.
  bool Succeeded(bool outcome) {
    succeeded_ = outcome;
    return outcome;
  }

 private:
  ProgressObserver* observer_;
  Step step_;
  std::uint8_t tag_;
  bool succeeded_ = false;
};

}  // namespace kx7
