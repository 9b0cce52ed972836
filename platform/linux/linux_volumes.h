#pragma once

// Volumes and disks on Linux. "\\.\X:" opens the USB disk at drive letter X:
// its SCSI generic node for pass-through; positioned I/O reaches its volume
// (the first partition the disk's table lists, or the whole disk when it has
// no table) through the whole disk's node at the partition's offset, so that
// no partition node is needed. "\\.\PhysicalDriveN" opens the disk at
// letter 'B' + N, positioned I/O on the whole disk. The block node is opened
// only when a call needs it, read-only until something is written: queries
// leave the disk alone. The lock is an exclusive open of the whole disk and a
// whole-disk claim (see disk_claims.h).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/linux/access_failure.h"
#include "platform/linux/disk_claims.h"
#include "platform/linux/disk_mounts.h"
#include "platform/linux/linux_config.h"
#include "platform/linux/mbr_layout.h"
#include "platform/volume_io.h"

namespace kx7::linux_backend {

class LinuxVolumes final : public platform::VolumeIo {
 public:
  LinuxVolumes(const LinuxConfig& config, AccessFailureLog& failures, LetterBook& letters);
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
  // The disk's block node, open (read-write when `writable`); records why not.
  bool openBlock(OpenDisk& open, bool writable);
  // Where positioned I/O on the handle goes; false when it has no volume.
  bool resolveVolume(OpenDisk& open);
  bool transfer(platform::Handle handle, std::uint64_t offset, bool writing,
                std::span<std::uint8_t> in, std::span<const std::uint8_t> out);
  // The kernel's size of the disk made the device's own: after a medium or
  // capacity change it keeps the size it read before until revalidated.
  bool matchKernelCapacity(OpenDisk& open);
  // Closes the descriptors of handles whose disk has gone.
  void dropVanished(const std::vector<UsbDisk>& present);
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
  LetterBook& letters_;
  DiskClaims claims_;
  mutable std::mutex mutex_;
  std::map<std::uintptr_t, std::shared_ptr<OpenDisk>> open_;
  std::uintptr_t next_ = 0x1000;
};

}  // namespace kx7::linux_backend
