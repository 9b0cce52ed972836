// The normal update: a running player is sent into its ROM's recovery mode,
// given the updater over HID, found again as the updater's mass-storage
// device, and its three firmware drives are rewritten and read back.
#include "api/busy_guard.h"
#include "api/library.h"
#include "api/result_codes.h"
#include "api/text_args.h"
#include "api/update_steps.h"
#include "device/player_scan.h"
#include "host/autoplay_reject.h"
#include "host/drive_letters.h"

namespace kx7 {

namespace {
// The player reboots into its ROM's recovery mode.
constexpr std::uint32_t kRecoveryEntryWaitMs = 15000;
// The updater starts and the player comes back as a mass-storage device.
constexpr std::uint32_t kUpdaterStartWaitMs = 15000;
// The updater's volume settles after it was found and locked.
constexpr std::uint32_t kUpdaterSettleWaitMs = 5000;

bool SwitchPlayerToUpdater(const platform::Services& services, char letter) {
  DeviceSession session(services);
  if (!session.OpenByDriveLetter(letter) || session.Kind != DeviceKindPlayer) return false;
  return session.ResetToRecovery();
}
}  // namespace

int Library::DoNormalUpdate(const char* serial, const char* folder) {
  InstallUserLocale();
  // Held to every return, the busy one included: the player's volumes come
  // and go during an update and must not start AutoPlay.
  CAutoPlayReject autoPlay(services_);
  // Not checked: without it AutoPlay may open a window, which stops nothing.
  autoPlay.RegisterInRunningObjectTable();
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kBusy;
  if (IsEmptyText(serial)) return result::kNormalBadSerial;
  if (IsEmptyText(folder)) return result::kNormalEmptyFolder;

  currentDriveLetter_ = FindDriveLetterForSerial(services_, serial);
  if (currentDriveLetter_ == 0) return result::kNormalBadSerial;
  SetFirmwarePaths(images_, folder, true, false);
  UpdateSteps steps(services_, observer_, images_, currentDevice_, currentDriveLetter_);

  if (!steps.InStep(Step::SwitchToRecovery, 0,
                    [&] { return SwitchPlayerToUpdater(services_, currentDriveLetter_); }))
    return result::kNormalSwitchFailed;
  steps.WaitStep(Step::WaitForRecoveryDevice, kRecoveryEntryWaitMs);
  if (!steps.InStep(Step::DownloadUpdater, 0, [&] { return steps.DownloadUpdaterOverHid(); }))
    return result::kNormalDownloadFailed;
  // Not checked here: a missing updater shows up as a failure of the first
  // write.
  steps.InStep(Step::WaitForUpdaterDrive, 0, [&] {
    services_.clock.sleep(kUpdaterStartWaitMs);
    const bool found = steps.FindUpdaterDevice(false) != nullptr;
    services_.clock.sleep(kUpdaterSettleWaitMs);
    return found;
  });
  if (!steps.WriteFirmwareDrives()) return result::kNormalWriteFailed;
  if (!steps.VerifyFirmwareDrives()) return result::kNormalVerifyFailed;
  if (!steps.CurrentUpdater()) return result::kNormalUpdaterGone;
  steps.ResetChipAndRelease();
  return result::kOk;
}

}  // namespace kx7
