// The recovery update rebuilds a player that sits in its ROM's recovery
// mode. Until its steps are built it answers what it can decide.
#include "api/busy_guard.h"
#include "api/library.h"
#include "api/result_codes.h"
#include "api/text_args.h"
#include "host/autoplay_reject.h"

namespace kx7 {

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
