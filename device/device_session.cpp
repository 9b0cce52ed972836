#include "device/device_session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/commands.h"

namespace kx7 {

namespace {
constexpr std::uint32_t kMediaRemovedEvents = platform::kShcneMediaRemoved;
constexpr std::uint32_t kMediaBackEvents =
    platform::kShcneMediaInserted | platform::kShcneUpdateDir | platform::kShcneFreeSpace;
constexpr std::uint32_t kNotifyFlags = platform::kShcnfPathA | platform::kShcnfFlush;
}  // namespace

DeviceSession::DeviceSession(const platform::Services& services) : services_(services) {}

DeviceSession::~DeviceSession() {
  Close();
}

std::string DeviceSession::RootPath() const {
  // The shell reads the path as a C string: with no letter (a session on a
  // physical drive) it names nothing, not "\0:\".
  if (DriveLetter == 0) return {};
  return {DriveLetter, ':', '\\'};
}

void DeviceSession::ResetFields() {
  Kind = DeviceKindNone;
  ProtocolVersion = PlayerProtocol::Unknown;
  DriveLetter = 0;
  SectorCount = 0;
  SectorSize = 0;
  FileSystemName.fill(0);
  ChipMajorRevId = 0;
  RomRevId = 0;
  MediaType = -1;
  VolumeHandle = platform::Handle::null();
  VolumeLocked = false;
}

bool DeviceSession::OpenHandle(const std::string& path) {
  const platform::Handle handle = Io().openDevice(path);
  VolumeHandle = handle.isInvalid() ? platform::Handle::null() : handle;
  return VolumeHandle.isOpen();
}

bool DeviceSession::OpenByDriveLetter(char letter) {
  Close();
  DriveLetter = letter;
  // No letter (nothing was found for a serial) names no drive at all.
  if (letter < 'A' || letter > 'Z') return false;
  if (Io().driveType(RootPath()) != platform::DriveType::Removable) return false;

  char path[16];
  std::snprintf(path, sizeof path, "\\\\.\\%c:", letter);
  if (!OpenHandle(path)) return false;

  const bool opened =
      ReadProtocolVersion() && Identify() && CheckMedia() && ReadDeviceInfo() && LoadDriveTable();
  if (!opened) Close();
  return opened;
}

bool DeviceSession::OpenUpdaterByPhysicalDrive() {
  Close();
  for (int i = 0; i < kPhysicalDriveScanCount; ++i) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", i);
    if (!OpenHandle(path)) continue;
    if (Identify() && Kind == DeviceKindUpdater) return true;
    Close();
  }
  return false;
}

bool DeviceSession::LoadDriveTable() {
  return Drives.Load(Io(), VolumeHandle) && Drives.LoadVersions(Io(), VolumeHandle) &&
         Drives.LoadSectorSizes(Io(), VolumeHandle);
}

bool DeviceSession::ReadProtocolVersion() {
  CStGetProtocolVersion query;
  std::int32_t version = 0;
  if (query.Send(Io(), VolumeHandle) && query.GetProtocolVersion(version)) {
    ProtocolVersion = static_cast<PlayerProtocol>(version);
    return true;
  }
  ProtocolVersion = PlayerProtocol::Unknown;
  return false;
}

bool DeviceSession::Identify() {
  CStScsiInquiry inquiry;
  if (inquiry.Send(Io(), VolumeHandle)) {
    Kind = inquiry.GetDeviceKind();
    if (Kind == DeviceKindPlayer && ProtocolVersion == PlayerProtocol::Version2)
      Kind = DeviceKindPlayerProtocol2;
  }
  return Kind != DeviceKindNone;
}

bool DeviceSession::CheckMedia() {
  CStGetLogicalMediaInfo query(info_type::kMediaPresent, 1);
  std::uint8_t present = 0;
  return query.Send(Io(), VolumeHandle) && query.GetValue(present) && present != 0;
}

bool DeviceSession::ReadDeviceInfo() {
  CStGetChipMajorRevId chip;
  CStGetROMRevId rom;
  CStGetLogicalMediaInfo media(info_type::kMediaType, 4);
  CStReadCapacity capacity;
  std::uint16_t chipId = 0;
  std::uint16_t romId = 0;
  std::uint8_t mediaType = 0;
  std::uint32_t lastLba = 0;
  std::uint32_t blockLength = 0;
  if (!chip.Send(Io(), VolumeHandle) || !rom.Send(Io(), VolumeHandle) ||
      !media.Send(Io(), VolumeHandle) || !capacity.Send(Io(), VolumeHandle))
    return false;
  if (!chip.GetChipMajorRevId(chipId) || !rom.GetROMRevId(romId) ||
      !media.GetMediaType(mediaType) || !capacity.GetLastLogicalBlockAddress(lastLba) ||
      !capacity.GetBlockLength(blockLength))
    return false;

  ChipMajorRevId = chipId;
  RomRevId = romId;
  MediaType = mediaType;
  SectorCount = lastLba + 1;
  SectorSize = static_cast<std::uint16_t>(blockLength);

  const std::string name = Io().fileSystemName(RootPath());
  FileSystemName.fill(0);
  std::memcpy(FileSystemName.data(), name.data(), std::min(name.size(), FileSystemName.size() - 1));
  return true;
}

bool DeviceSession::TryLockVolume() {
  return WithVolumeRetries(&platform::VolumeIo::lockVolume);
}

bool DeviceSession::TryUnlockVolume() {
  return WithVolumeRetries(&platform::VolumeIo::unlockVolume);
}

bool DeviceSession::WithVolumeRetries(bool (platform::VolumeIo::*call)(platform::Handle)) {
  for (int i = 0; i < kVolumeControlTries; ++i) {
    if ((Io().*call)(VolumeHandle)) return true;
    services_.clock.sleep(kVolumeControlRetryMs);
  }
  return false;
}

bool DeviceSession::LockVolume() {
  if (VolumeLocked) return true;
  NotifyShell(kMediaRemovedEvents);
  VolumeLocked = TryLockVolume();
  if (VolumeLocked) services_.clock.sleep(kAfterLockWaitMs);
  return VolumeLocked;
}

bool DeviceSession::UnlockVolume() {
  if (!VolumeLocked) return false;
  const bool unlocked = TryUnlockVolume();
  VolumeLocked = !unlocked;
  return unlocked;
}

void DeviceSession::Close() {
  if (VolumeHandle.isNull()) return;
  // Its result can be ignored: closing the handle releases the lock anyway.
  if (VolumeLocked) TryUnlockVolume();
  VolumeLocked = false;
  Io().closeHandle(VolumeHandle);
  NotifyShell(kMediaBackEvents);
  ResetFields();
}

void DeviceSession::NotifyShell(std::uint32_t events) {
  // A session on a physical drive (the system disk may be among those
  // scanned) has no drive root to name: an empty path would tell the shell
  // about nothing in particular.
  if (DriveLetter == 0) return;
  services_.shell.changeNotify(events, kNotifyFlags, RootPath());
}

void DeviceSession::ReleaseAtUnload() {
  // The library is being unloaded under the loader lock: no unlock retries,
  // no waits, no shell. Closing the handle releases the volume lock.
  if (VolumeHandle.isOpen()) Io().closeHandle(VolumeHandle);
  ResetFields();
}

bool DeviceSession::ResetToRecovery() {
  if (ProtocolVersion >= PlayerProtocol::Version4) {
    CStResetToRecovery reset;
    if (reset.Send(Io(), VolumeHandle)) DropHandle();
  }
  Close();
  return true;
}

}  // namespace kx7
