#pragma once

// Whole-sector access to the data drive through a session's volume or disk
// handle, with every write read back and compared, plus the two disk-level
// calls the formatter needs: dismounting the volume and rewriting the
// partition table.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "device/device_session.h"
#include "platform/platform.h"

namespace kx7 {

// A zero fill never moves more than this per write.
inline constexpr std::uint32_t kMaxZeroFillBytes = 65536;

// DRIVE_LAYOUT_INFORMATION with four PARTITION_INFORMATION entries.
inline constexpr std::size_t kDriveLayoutSize = 136;
using DriveLayout = std::array<std::uint8_t, kDriveLayoutSize>;

// The target of raw sector writes: a session (whose VolumeHandle all I/O goes
// to) and the sector size the formatter set.
struct SectorWriter {
  DeviceSession* Device = nullptr;
  std::uint32_t SectorSize = 0;
  // What the writes add up to, for the session's observer.
  std::uint64_t BytesWritten = 0;
  std::uint64_t BytesToWrite = 0;
};

// One positioned write or read of `count` whole sectors at `first`. Offsets
// are 64-bit: the leftover sectors after a large partition lie beyond 4 GiB.
bool WriteSectorsAt(platform::VolumeIo& io, platform::Handle handle, std::uint32_t first,
                    std::uint32_t count, std::uint32_t sectorSize,
                    std::span<const std::uint8_t> bytes);
// `bytes` is resized to count x sectorSize (zero-filled) before the read.
bool ReadSectorsAt(platform::VolumeIo& io, platform::Handle handle, std::uint32_t first,
                   std::uint32_t count, std::uint32_t sectorSize, std::vector<std::uint8_t>& bytes);

// Writes `bytes` (whole sectors) at `sector`, reads them back and compares.
// Does not move the position.
bool WriteAndVerify(SectorWriter& writer, std::span<const std::uint8_t> bytes,
                    std::uint32_t sector);
// Writes a 512-byte block as one sector (zero-padded to the sector size);
// the position moves on by one on success.
bool WriteSector(SectorWriter& writer, std::span<const std::uint8_t, 512> block,
                 std::uint32_t& sector);
// Writes `count` zero sectors in chunks of at most 64 KiB; the position
// moves on after each chunk that verified.
bool WriteZeroSectors(SectorWriter& writer, std::uint32_t count, std::uint32_t& sector);
// The same chunked zero fill, with `head` written at the start of the first
// chunk (the FAT's first entries, the volume label).
bool WriteZeroSectorsWithHead(SectorWriter& writer, std::uint32_t count,
                              std::span<const std::uint8_t> head, std::uint32_t& sector);

// FSCTL_DISMOUNT_VOLUME, up to 10 tries 100 ms apart.
bool DismountVolume(const platform::Services& services, platform::Handle handle);

// The layout of a disk holding one partition of `sectorCount` sectors from
// `firstSector` on, in the geometry's sector size: the partition the
// formatter's own master boot record describes, so that the system's view
// of the disk and the disk's table agree.
DriveLayout BuildSinglePartitionLayout(const platform::DiskGeometry& geometry,
                                       std::uint32_t firstSector, std::uint32_t sectorCount);
// Whether the disk the system reports can hold that partition in sectors of
// `sectorSize` bytes (see the definition for the rule).
bool GeometryHoldsPartition(const platform::DiskGeometry& geometry, std::uint32_t sectorSize,
                            std::uint32_t firstSector, std::uint32_t sectorCount);
// Deletes the disk's layout (whatever that answers) and sets the one above;
// true when the new table was written.
bool WriteSinglePartitionLayout(platform::VolumeIo& io, platform::Handle handle,
                                const platform::DiskGeometry& geometry, std::uint32_t firstSector,
                                std::uint32_t sectorCount);

}  // namespace kx7
