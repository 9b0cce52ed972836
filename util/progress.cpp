#include "util/progress.h"

namespace kx7 {

const char* StepName(Step step) {
  switch (step) {
    case Step::SwitchToRecovery:
      return "switching the player to its recovery mode";
    case Step::WaitForRecoveryDevice:
      return "waiting for the recovery device";
    case Step::DownloadUpdater:
      return "downloading the updater";
    case Step::WaitForUpdaterDrive:
      return "waiting for the updater drive";
    case Step::ReallocateMedia:
      return "re-allocating the media";
    case Step::EraseDrive:
      return "erasing";
    case Step::StampVersions:
      return "stamping versions";
    case Step::WriteDrive:
      return "writing";
    case Step::VerifyDrive:
      return "verifying";
    case Step::ResetSettingsDrive:
      return "resetting the settings drive";
    case Step::FormatDataDrive:
      return "formatting the data drive";
    case Step::WriteBootlet:
      return "writing the bootlet";
    case Step::ResetChip:
      return "resetting the player";
    case Step::WaitForRestart:
      return "waiting for the player to restart";
    case Step::RestoreSettings:
      return "restoring the settings";
  }
  return "?";
}

}  // namespace kx7
