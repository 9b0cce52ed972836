// Exports whose procedures are still being built: they already answer what
// they can decide (busy, missing arguments).
#include <cstring>

#include "api/busy_guard.h"
#include "api/library.h"
#include "api/result_codes.h"
#include "api/text_args.h"
#include "host/autoplay_reject.h"
#include "kx7fw/kx7fw.h"

namespace kx7 {

int Library::GetDeviceInfo(const char* serial, DeviceInfo* info) {
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kBusy;
  if (info) std::memset(info, 0, sizeof *info);
  if (IsEmptyText(serial)) return result::kInfoWrongPlayer;
  return result::kInfoNoPlayer;
}

int Library::GetLocalVersion(const char* folder, char* out, int) {
  InstallUserLocale();
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kBusy;
  SetFirmwarePaths(folder ? folder : "", false, false);
  if (!out) return result::kLocalNullOutput;
  return result::kLocalBadFile;
}

int Library::NeedRecovery(const char* serial, const char* folder) {
  InstallUserLocale();
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kBusy;
  if (IsEmptyText(serial)) return result::kNeedEmptySerial;
  if (IsEmptyText(folder)) return result::kNeedEmptyFolder;
  SetFirmwarePaths(folder, true, false);
  return result::kRecoveryNotNeeded;
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
  return result::kNormalBadSerial;
}

int Library::DoRecoveryUpdate(const char*, const char* folder) {
  InstallUserLocale();
  // Held to every return, the busy one included: the player's volumes come
  // and go during an update and must not start AutoPlay.
  CAutoPlayReject autoPlay(services_);
  autoPlay.RegisterInRunningObjectTable();
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kBusy;
  if (IsEmptyText(folder)) return result::kRecoveryEmptyFolder;
  SetFirmwarePaths(folder, true, true);
  return result::kRecoveryDownloadFailed;
}

}  // namespace kx7
