// Which update path a running player needs: the normal update rewrites the
// firmware into the existing system drives, which works only while the new
// firmware still fits them.
#include "api/busy_guard.h"
#include "api/library.h"
#include "api/result_codes.h"
#include "api/text_args.h"
#include "api/update_steps.h"
#include "firmware/fw_component.h"
#include "host/drive_letters.h"

namespace kx7 {

namespace {
// Whether the firmware file fits the player's first system drive.
bool ImageFitsDrive(const platform::Services& services, const ImageTable& images,
                    const DeviceSession& device) {
  const CStFwComponent image = LoadImageForTag(services.files, images, DRIVE_TAG_BOOTMANAGER_S);
  const DriveTableEntry* drive = device.Drives.FindByTag(DRIVE_TAG_BOOTMANAGER_S);
  // Without an image size or a drive to compare there is no case for a
  // destructive recovery: count it as fitting.
  if (image.FilePath.empty() || !drive) return true;
  return image.ImageSize <= drive->SizeInBytes;
}
}  // namespace

int Library::NeedRecovery(const char* serial, const char* folder) {
  InstallUserLocale();
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kBusy;
  if (IsEmptyText(serial)) return result::kNeedEmptySerial;
  if (IsEmptyText(folder)) return result::kNeedEmptyFolder;
  SetFirmwarePaths(images_, folder, true, false);

  DeviceSession session(services_);
  if (!session.OpenByDriveLetter(FindDriveLetterForSerial(services_, serial)))
    return result::kRecoveryNotNeeded;
  return ImageFitsDrive(services_, images_, session) ? result::kRecoveryNotNeeded
                                                     : result::kRecoveryNeeded;
}

}  // namespace kx7
