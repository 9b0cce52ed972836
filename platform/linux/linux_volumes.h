#pragma once

// Volumes and disks on Linux. "\\.\X:" opens the USB disk at drive letter X:
// its SCSI generic node for pass-through and the block node of its volume
// (the first partition, or the disk when it has none) for positioned I/O.
// "\\.\PhysicalDriveN" opens the disk at letter 'B' + N, positioned I/O on
// the whole disk. The lock is an exclusive open of the whole disk.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/linux/access_failure.h"
#include "platform/linux/disk_mounts.h"
#include "platform/linux/linux_config.h"
#include "platform/linux/mbr_layout.h"
#include "platform/volume_io.h"

namespace kx7::linux_backend {

class LinuxVolumes final : public platform::VolumeIo {
 public:
  LinuxVolumes(const LinuxConfig& config, AccessFailureLog& failures);
  ~LinuxVolumes() override;
  LinuxVolumes(const LinuxVolumes&) = delete;
  LinuxVolumes& operator=(const LinuxVolumes&) = delete;

  std::uint32_t logicalDriveMask() override;
  platform::DriveType driveType(std::string_view rootPath) override;
  std::string fileSystemName(std::string_view rootPath) override;
  platform::Handle openDevice(std::string_view path) override;
  void closeHandle(platform::Handle handle) override;
  bool scsiPassThrough(platform::Handle handle, std::span<std::uint8_t> request) override;
  bool lockVolume(platform::Handle handle) override;
  bool unlockVolume(platform::Handle handle) override;
  bool dismountVolume(platform::Handle handle) override;
  bool driveGeometry(platform::Handle handle, platform::DiskGeometry& geometry) override;
  bool deleteDriveLayout(platform::Handle handle) override;
  bool setDriveLayout(platform::Handle handle, std::span<const std::uint8_t> layout) override;
  bool readAt(platform::Handle handle, std::uint64_t offset, std::span<std::uint8_t> out) override;
  bool writeAt(platform::Handle handle, std::uint64_t offset,
               std::span<const std::uint8_t> data) override;

  // Handles open now.
  std::size_t openHandleCount() const;
  // The mounts of the disk at a drive letter, for a host that must release
  // them before an update.
  std::vector<MountedVolume> mountsOfLetter(char letter);

 private:
  struct OpenDisk;
  std::shared_ptr<OpenDisk> find(platform::Handle handle) const;
  // The disk as it is now (partitions change with the table).
  std::optional<UsbDisk> currentDisk(const OpenDisk& open) const;
  // Mounted volumes of the open disk; records the first as busy.
  bool refuseWhileMounted(const OpenDisk& open);
  bool rewriteTable(
      OpenDisk& open,
      const std::function<bool(std::span<std::uint8_t>, std::uint32_t, std::uint64_t)>& edit);
  bool waitForPartitions(const OpenDisk& open, const std::vector<MbrPartition>& expected);

  const LinuxConfig& config_;
  AccessFailureLog& failures_;
  mutable std::mutex mutex_;
  std::map<std::uintptr_t, std::shared_ptr<OpenDisk>> open_;
  std::uintptr_t next_ = 0x1000;
};

}  // namespace kx7::linux_backend
