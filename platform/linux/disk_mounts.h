#pragma once

// Which of a disk's block devices are mounted, and where.

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/mount_table.h"
#include "platform/linux/usb_disks.h"

namespace kx7::linux_backend {

struct MountedVolume {
  std::string node;        // the mounted block device, e.g. /dev/sdb1
  std::string mountPoint;  // where, e.g. /media/user/PLAYER
  friend bool operator==(const MountedVolume&, const MountedVolume&) = default;
};

// Every mount of the disk itself or of one of its partitions, in mount order.
std::vector<MountedVolume> MountsOfDisk(const UsbDisk& disk, const std::vector<MountEntry>& mounts);

// Where the disk's files are: the mount of its volume partition, else of the
// whole disk, else of any other partition.
std::optional<std::string> DataMountPoint(const UsbDisk& disk,
                                          const std::vector<MountEntry>& mounts);

}  // namespace kx7::linux_backend
