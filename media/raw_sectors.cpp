#include "media/raw_sectors.h"

#include <algorithm>

#include "util/byte_order.h"

namespace kx7 {

namespace {

constexpr int kDismountTries = 10;
constexpr std::uint32_t kDismountRetryMs = 100;

// PARTITION_INFORMATION fields, from the start of an entry.
constexpr std::size_t kLayoutEntriesAt = 8;
constexpr std::size_t kLayoutEntrySize = 32;
constexpr std::size_t kEntryStartingOffset = 0;
constexpr std::size_t kEntryPartitionLength = 8;
constexpr std::size_t kEntryHiddenSectors = 16;
constexpr std::size_t kEntryPartitionNumber = 20;
constexpr std::size_t kEntryPartitionType = 24;
constexpr std::size_t kEntryBootIndicator = 25;
constexpr std::size_t kEntryRecognizedPartition = 26;
constexpr std::size_t kEntryRewritePartition = 27;
constexpr std::uint8_t kPartitionTypeFat16 = 6;

std::uint64_t ByteOffset(std::uint32_t sector, std::uint32_t sectorSize) {
  return std::uint64_t{sector} * sectorSize;
}

// Sectors per zero-fill chunk: as many as fit in 64 KiB, at least one.
std::uint32_t ChunkSectors(std::uint32_t sectorSize) {
  return std::max<std::uint32_t>(kMaxZeroFillBytes / sectorSize, 1);
}

}  // namespace

bool WriteSectorsAt(platform::VolumeIo& io, platform::Handle handle, std::uint32_t first,
                    std::uint32_t count, std::uint32_t sectorSize,
                    std::span<const std::uint8_t> bytes) {
  const std::uint64_t length = std::uint64_t{count} * sectorSize;
  if (bytes.size() < length) return false;
  return io.writeAt(handle, ByteOffset(first, sectorSize), bytes.first(length));
}

bool ReadSectorsAt(platform::VolumeIo& io, platform::Handle handle, std::uint32_t first,
                   std::uint32_t count, std::uint32_t sectorSize,
                   std::vector<std::uint8_t>& bytes) {
  bytes.assign(std::uint64_t{count} * sectorSize, 0);
  return io.readAt(handle, ByteOffset(first, sectorSize), bytes);
}

bool WriteAndVerify(SectorWriter& writer, std::span<const std::uint8_t> bytes,
                    std::uint32_t sector) {
  if (!writer.Device || writer.SectorSize == 0 || bytes.size() % writer.SectorSize != 0)
    return false;
  const auto count = static_cast<std::uint32_t>(bytes.size() / writer.SectorSize);
  platform::VolumeIo& io = writer.Device->Io();
  const platform::Handle handle = writer.Device->VolumeHandle;
  if (!WriteSectorsAt(io, handle, sector, count, writer.SectorSize, bytes)) return false;
  std::vector<std::uint8_t> readBack;
  if (!ReadSectorsAt(io, handle, sector, count, writer.SectorSize, readBack)) return false;
  if (!std::equal(bytes.begin(), bytes.end(), readBack.begin(), readBack.end())) return false;
  writer.BytesWritten += bytes.size();
  ReportTransferred(writer.Device->Observer, writer.BytesWritten, writer.BytesToWrite);
  return true;
}

bool WriteSector(SectorWriter& writer, std::span<const std::uint8_t, 512> block,
                 std::uint32_t& sector) {
  if (writer.SectorSize < block.size()) return false;
  std::vector<std::uint8_t> buffer(writer.SectorSize, 0);
  std::copy(block.begin(), block.end(), buffer.begin());
  if (!WriteAndVerify(writer, buffer, sector)) return false;
  ++sector;
  return true;
}

bool WriteZeroSectorsWithHead(SectorWriter& writer, std::uint32_t count,
                              std::span<const std::uint8_t> head, std::uint32_t& sector) {
  if (writer.SectorSize == 0) return false;
  const std::uint32_t chunk = ChunkSectors(writer.SectorSize);
  std::vector<std::uint8_t> buffer;
  bool first = true;
  for (std::uint32_t left = count; left > 0;) {
    const std::uint32_t now = std::min(left, chunk);
    buffer.assign(std::size_t{now} * writer.SectorSize, 0);
    if (first) std::copy_n(head.begin(), std::min(head.size(), buffer.size()), buffer.begin());
    first = false;
    if (!WriteAndVerify(writer, buffer, sector)) return false;
    sector += now;
    left -= now;
  }
  return true;
}

bool WriteZeroSectors(SectorWriter& writer, std::uint32_t count, std::uint32_t& sector) {
  return WriteZeroSectorsWithHead(writer, count, {}, sector);
}

bool DismountVolume(const platform::Services& services, platform::Handle handle) {
  for (int i = 0; i < kDismountTries; ++i) {
    if (services.volumes.dismountVolume(handle)) return true;
    services.clock.sleep(kDismountRetryMs);
  }
  return false;
}

DriveLayout BuildSinglePartitionLayout(const platform::DiskGeometry& geometry,
                                       std::uint32_t firstSector, std::uint32_t sectorCount) {
  DriveLayout layout{};
  PutLe32(&layout[0], 4);  // PartitionCount; Signature stays 0
  const std::uint64_t start = std::uint64_t{firstSector} * geometry.bytesPerSector;
  const std::uint64_t length = std::uint64_t{sectorCount} * geometry.bytesPerSector;
  for (std::uint32_t i = 0; i < 4; ++i) {
    std::uint8_t* entry = &layout[kLayoutEntriesAt + i * kLayoutEntrySize];
    if (i == 0) {
      PutLe64(entry + kEntryStartingOffset, start);
      PutLe64(entry + kEntryPartitionLength, length);
      PutLe32(entry + kEntryHiddenSectors, firstSector);
      entry[kEntryPartitionType] = kPartitionTypeFat16;
      entry[kEntryBootIndicator] = 0;
      entry[kEntryRecognizedPartition] = 1;
    }
    PutLe32(entry + kEntryPartitionNumber, i + 1);
    entry[kEntryRewritePartition] = 1;
  }
  return layout;
}

// The system reports a removable disk as whole cylinders of its length,
// rounded down, and checks a partition against the disk's real length: a
// partition may run into the part cylinder the geometry leaves out, never
// past it. A geometry of other sectors than planned, or of a disk that ends
// a cylinder or more before the partition does, is not of the disk that was
// planned (a stale or wrong report); a partition laid out on it would not
// be the one the master boot record describes.
bool GeometryHoldsPartition(const platform::DiskGeometry& geometry, std::uint32_t sectorSize,
                            std::uint32_t firstSector, std::uint32_t sectorCount) {
  if (geometry.bytesPerSector != sectorSize || sectorCount == 0) return false;
  const std::uint64_t cylinder =
      std::uint64_t{geometry.tracksPerCylinder} * geometry.sectorsPerTrack;
  if (cylinder == 0) return false;
  // The cylinder of the partition's last sector: one of the whole ones, or
  // the part one after them.
  const std::uint64_t last = std::uint64_t{firstSector} + sectorCount - 1;
  return last / cylinder <= geometry.cylinders;
}

bool WriteSinglePartitionLayout(platform::VolumeIo& io, platform::Handle handle,
                                const platform::DiskGeometry& geometry, std::uint32_t firstSector,
                                std::uint32_t sectorCount) {
  const DriveLayout layout = BuildSinglePartitionLayout(geometry, firstSector, sectorCount);
  // Whatever the old table was, it is replaced.
  static_cast<void>(io.deleteDriveLayout(handle));
  return io.setDriveLayout(handle, layout);
}

}  // namespace kx7
