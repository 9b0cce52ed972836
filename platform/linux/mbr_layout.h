#pragma once

// The disk structures the library hands over in Windows form - the
// DISK_GEOMETRY it reads and the DRIVE_LAYOUT_INFORMATION it writes - turned
// into what a Linux disk has: a size and an MBR partition table.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/volume_io.h"

namespace kx7::linux_backend {

inline constexpr std::size_t kMbrLength = 512;
inline constexpr std::size_t kDriveLayoutLength = 136;

// The geometry Windows reports for removable media of this size: 255 heads,
// 63 sectors per track, as many whole cylinders as fit.
platform::DiskGeometry RemovableDiskGeometry(std::uint64_t sizeBytes, std::uint32_t sectorSize);

// A primary partition of an MBR table, numbered by its slot as Linux numbers
// it (1 to 4).
struct MbrPartition {
  unsigned number = 0;
  std::uint64_t startBytes = 0;
  std::uint64_t lengthBytes = 0;
  friend bool operator==(const MbrPartition&, const MbrPartition&) = default;
};

// Rewrites the partition table in `mbr` (the first 512 bytes of sector 0)
// from a DRIVE_LAYOUT_INFORMATION: each entry marked for rewriting replaces
// its slot, an unused entry clears it; the disk signature is set, the boot
// code kept. False, with `mbr` untouched, when an entry cannot be written
// (not on a sector boundary, past the disk's end or beyond 32-bit sectors).
bool ApplyDriveLayout(std::span<const std::uint8_t> layout, std::uint32_t sectorSize,
                      std::uint64_t sectorCount, std::span<std::uint8_t> mbr);

// Deleting the layout: the four entries and the boot signature are cleared.
void ClearDriveLayout(std::span<std::uint8_t> mbr);

// Whether a disk's first sector is a partition table, as the kernel reads
// it: the boot signature, boot flags of 0 or 0x80, and not a FAT boot sector
// (a file system over the whole disk) that lists no partition. A table may
// hold no partition at all.
bool HoldsPartitionTable(std::span<const std::uint8_t> mbr, std::uint32_t sectorSize);

// The partitions a table holds; none without the boot signature.
std::vector<MbrPartition> PartitionsInTable(std::span<const std::uint8_t> mbr,
                                            std::uint32_t sectorSize);

}  // namespace kx7::linux_backend
