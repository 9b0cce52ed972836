#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/handle.h"

namespace kx7::platform {

// GetDriveTypeA results.
enum class DriveType : std::uint32_t {
  Unknown = 0,
  NoRootDir = 1,
  Removable = 2,
  Fixed = 3,
  Remote = 4,
  CdRom = 5,
  RamDisk = 6,
};

// DISK_GEOMETRY (24 bytes on the wire).
struct DiskGeometry {
  std::uint64_t cylinders = 0;
  std::uint32_t mediaType = 0;
  std::uint32_t tracksPerCylinder = 0;
  std::uint32_t sectorsPerTrack = 0;
  std::uint32_t bytesPerSector = 0;
};

// Volumes and disks: kernel32's CreateFileA / DeviceIoControl / ReadFile /
// WriteFile family on "\\.\X:" and "\\.\PhysicalDriveN", plus the drive-letter
// queries. Byte layouts the library defines (the pass-through request, the
// drive layout) cross this seam unchanged.
class VolumeIo {
 public:
  virtual ~VolumeIo() = default;

  // GetLogicalDrives: bit 0 is A:.
  virtual std::uint32_t logicalDriveMask() = 0;
  // GetDriveTypeA on a root such as "E:\".
  virtual DriveType driveType(std::string_view rootPath) = 0;
  // GetVolumeInformationA asking only for the file system name; "" when the
  // call fails.
  virtual std::string fileSystemName(std::string_view rootPath) = 0;

  // CreateFileA for read and write, shared read and write, OPEN_EXISTING.
  // Returns Handle::invalid() when the open fails.
  virtual Handle openDevice(std::string_view path) = 0;
  virtual void closeHandle(Handle handle) = 0;

  // IOCTL_SCSI_PASS_THROUGH with `request` as both input and output buffer.
  // The request starts with the 44-byte SCSI_PASS_THROUGH header; its data
  // buffer and sense offsets point inside `request`. False when the system
  // could not deliver the request.
  virtual bool scsiPassThrough(Handle handle, std::span<std::uint8_t> request) = 0;

  // FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME, FSCTL_DISMOUNT_VOLUME: one try each.
  virtual bool lockVolume(Handle handle) = 0;
  virtual bool unlockVolume(Handle handle) = 0;
  virtual bool dismountVolume(Handle handle) = 0;

  // IOCTL_DISK_GET_DRIVE_GEOMETRY.
  virtual bool driveGeometry(Handle handle, DiskGeometry& geometry) = 0;
  // IOCTL_DISK_DELETE_DRIVE_LAYOUT.
  virtual bool deleteDriveLayout(Handle handle) = 0;
  // IOCTL_DISK_SET_DRIVE_LAYOUT with a 136-byte DRIVE_LAYOUT_INFORMATION.
  virtual bool setDriveLayout(Handle handle, std::span<const std::uint8_t> layout) = 0;

  // Positioned ReadFile / WriteFile (SetFilePointerEx from the start, then one
  // synchronous transfer of the whole span).
  virtual bool readAt(Handle handle, std::uint64_t offset, std::span<std::uint8_t> out) = 0;
  virtual bool writeAt(Handle handle, std::uint64_t offset, std::span<const std::uint8_t> data) = 0;
};

}  // namespace kx7::platform
