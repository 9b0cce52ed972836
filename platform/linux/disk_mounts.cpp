#include "platform/linux/disk_mounts.h"

namespace kx7::linux_backend {

namespace {

std::optional<std::string> MountPointOf(dev_t device, const std::vector<MountEntry>& mounts) {
  for (const MountEntry& mount : mounts)
    if (mount.device == device) return mount.mountPoint;
  return std::nullopt;
}

}  // namespace

std::vector<MountedVolume> MountsOfDisk(const UsbDisk& disk,
                                        const std::vector<MountEntry>& mounts) {
  std::vector<MountedVolume> found;
  for (const MountEntry& mount : mounts) {
    if (mount.device == disk.devnum) {
      found.push_back({disk.blockNode, mount.mountPoint});
      continue;
    }
    for (const PartitionInfo& partition : disk.partitions)
      if (mount.device == partition.devnum) found.push_back({partition.node, mount.mountPoint});
  }
  return found;
}

std::optional<std::string> DataMountPoint(const UsbDisk& disk,
                                          const std::vector<MountEntry>& mounts) {
  if (const PartitionInfo* volume = VolumePartition(disk))
    if (auto at = MountPointOf(volume->devnum, mounts)) return at;
  if (auto at = MountPointOf(disk.devnum, mounts)) return at;
  const auto all = MountsOfDisk(disk, mounts);
  if (!all.empty()) return all.front().mountPoint;
  return std::nullopt;
}

}  // namespace kx7::linux_backend
