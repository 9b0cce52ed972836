#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "device/drive_table.h"
#include "device/drive_types.h"
#include "platform/platform.h"
#include "util/progress.h"

namespace kx7 {

// The protocol versions the session tells apart; a player may report any
// byte.
enum class PlayerProtocol : std::int32_t {
  Unknown = 0,   // not read, or the query failed
  Version2 = 2,  // a player speaking it is DeviceKindPlayerProtocol2
  Version4 = 4,  // the first that takes the reset into ROM recovery mode
};

// Waits and retries around the volume lock.
inline constexpr int kVolumeControlTries = 10;
inline constexpr std::uint32_t kVolumeControlRetryMs = 100;
inline constexpr std::uint32_t kAfterLockWaitMs = 5000;
inline constexpr int kPhysicalDriveScanCount = 100;

// The library's open connection to one player in mass-storage mode: the
// volume (or physical disk) handle, what the player said about itself, and
// its logical drive table. Opening always closes first, so a session holds
// at most one device.
class DeviceSession {
 public:
  explicit DeviceSession(const platform::Services& services);
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Opens the removable volume at `letter`, identifies it and loads its drive
  // table. A drive that is not removable is refused before anything is
  // opened; any later failure closes the session again.
  bool OpenByDriveLetter(char letter);
  // Opens the first of \\.\PhysicalDrive0..99 that answers as the updater.
  // Only INQUIRY is asked; the drive table is left as it was.
  bool OpenUpdaterByPhysicalDrive();

  bool ReadProtocolVersion();
  bool Identify();
  bool CheckMedia();
  bool ReadDeviceInfo();
  // Reads the logical drive table with each drive's version and sector size.
  bool LoadDriveTable();

  // Tells the shell the media is going, then locks the volume (10 tries,
  // 100 ms apart) and lets the system settle for 5 s. True at once when the
  // lock is already held.
  bool LockVolume();
  bool UnlockVolume();

  // Unlocks if locked, closes the handle and tells the shell the media is
  // back. Nothing happens when no handle is held.
  void Close();

  // Sends the player into ROM recovery mode when it speaks protocol 4 or
  // later, then closes. A player that took the command has left: its handle
  // is dropped without closing.
  bool ResetToRecovery();

  // The library is being unloaded: the handle is closed (which releases a
  // volume lock) with nothing else - no retries, waits or shell calls.
  void ReleaseAtUnload();

  // The device is restarting: forget the handle without closing it, so the
  // next Close() finds nothing to do.
  void DropHandle() { VolumeHandle = platform::Handle::null(); }

  // The root path the shell notifications name: "X:\", or "" when the
  // session has no drive letter (and then no notification is sent).
  std::string RootPath() const;

  const platform::Services& Services() const { return services_; }
  platform::VolumeIo& Io() const { return services_.volumes; }

  std::int32_t Kind = DeviceKindNone;
  PlayerProtocol ProtocolVersion = PlayerProtocol::Unknown;
  char DriveLetter = 0;
  std::uint32_t SectorCount = 0;
  std::uint16_t SectorSize = 0;
  std::array<char, 16> FileSystemName = {};
  std::uint16_t ChipMajorRevId = 0;
  std::uint16_t RomRevId = 0;
  std::int32_t MediaType = -1;
  DriveTable Drives;
  platform::Handle VolumeHandle;
  bool VolumeLocked = false;
  // Told how the transfers on this session advance; kept across reopens.
  ProgressObserver* Observer = nullptr;

 private:
  bool OpenHandle(const std::string& path);
  void ResetFields();
  void NotifyShell(std::uint32_t events);
  // FSCTL_LOCK_VOLUME / FSCTL_UNLOCK_VOLUME on the volume handle, up to 10
  // tries 100 ms apart.
  bool TryLockVolume();
  bool TryUnlockVolume();
  bool WithVolumeRetries(bool (platform::VolumeIo::*call)(platform::Handle));

  platform::Services services_;
};

}  // namespace kx7
