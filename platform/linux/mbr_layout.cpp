#include "platform/linux/mbr_layout.h"

#include <algorithm>
#include <array>

#include "util/byte_order.h"

namespace kx7::linux_backend {

namespace {

constexpr std::uint32_t kHeads = 255;
constexpr std::uint32_t kSectorsPerTrack = 63;
constexpr std::uint32_t kRemovableMedia = 11;  // MEDIA_TYPE RemovableMedia

constexpr std::size_t kOffSignature = 440;
constexpr std::size_t kOffTable = 446;
constexpr std::size_t kEntryLength = 16;
constexpr std::size_t kSlots = 4;
constexpr std::size_t kOffBootSignature = 510;

// DRIVE_LAYOUT_INFORMATION: count, signature, then PARTITION_INFORMATION
// entries of 32 bytes.
constexpr std::size_t kOffLayoutCount = 0;
constexpr std::size_t kOffLayoutSignature = 4;
constexpr std::size_t kOffLayoutEntries = 8;
constexpr std::size_t kLayoutEntryLength = 32;
constexpr std::size_t kOffStartingOffset = 0;
constexpr std::size_t kOffPartitionLength = 8;
constexpr std::size_t kOffPartitionType = 24;
constexpr std::size_t kOffBootIndicator = 25;
constexpr std::size_t kOffRewritePartition = 27;

// A sector's cylinder/head/sector address in the packed form of a table
// entry; past what CHS can say, the conventional 1023/254/63.
std::array<std::uint8_t, 3> PackedChs(std::uint64_t lba) {
  std::uint64_t cylinder = lba / (kHeads * kSectorsPerTrack);
  std::uint64_t head = (lba / kSectorsPerTrack) % kHeads;
  std::uint64_t sector = lba % kSectorsPerTrack + 1;
  if (cylinder > 1023) {
    cylinder = 1023;
    head = 254;
    sector = 63;
  }
  return {static_cast<std::uint8_t>(head),
          static_cast<std::uint8_t>(sector | ((cylinder >> 2) & 0xC0)),
          static_cast<std::uint8_t>(cylinder)};
}

}  // namespace

platform::DiskGeometry RemovableDiskGeometry(std::uint64_t sizeBytes, std::uint32_t sectorSize) {
  platform::DiskGeometry geometry;
  geometry.mediaType = kRemovableMedia;
  geometry.tracksPerCylinder = kHeads;
  geometry.sectorsPerTrack = kSectorsPerTrack;
  geometry.bytesPerSector = sectorSize;
  geometry.cylinders = sectorSize ? sizeBytes / sectorSize / (kHeads * kSectorsPerTrack) : 0;
  return geometry;
}

bool ApplyDriveLayout(std::span<const std::uint8_t> layout, std::uint32_t sectorSize,
                      std::uint64_t sectorCount, std::span<std::uint8_t> mbr) {
  if (layout.size() < kDriveLayoutLength || mbr.size() < kMbrLength || sectorSize == 0)
    return false;
  std::array<std::uint8_t, kMbrLength> table;
  std::copy_n(mbr.begin(), kMbrLength, table.begin());

  const std::size_t count = std::min<std::size_t>(GetLe32(&layout[kOffLayoutCount]), kSlots);
  for (std::size_t slot = 0; slot < count; ++slot) {
    const std::uint8_t* entry = &layout[kOffLayoutEntries + slot * kLayoutEntryLength];
    if (entry[kOffRewritePartition] == 0) continue;
    std::uint8_t* out = &table[kOffTable + slot * kEntryLength];
    std::fill_n(out, kEntryLength, 0);
    const std::uint64_t start = GetLe64(entry + kOffStartingOffset);
    const std::uint64_t length = GetLe64(entry + kOffPartitionLength);
    const std::uint8_t type = entry[kOffPartitionType];
    if (type == 0 || length == 0) continue;  // an unused slot
    if (start % sectorSize != 0 || length % sectorSize != 0) return false;
    const std::uint64_t first = start / sectorSize;
    const std::uint64_t sectors = length / sectorSize;
    if (first + sectors > sectorCount || first > 0xFFFFFFFF || sectors > 0xFFFFFFFF) return false;
    out[0] = entry[kOffBootIndicator] ? 0x80 : 0x00;
    const auto chsFirst = PackedChs(first);
    std::copy(chsFirst.begin(), chsFirst.end(), out + 1);
    out[4] = type;
    const auto chsLast = PackedChs(first + sectors - 1);
    std::copy(chsLast.begin(), chsLast.end(), out + 5);
    PutLe32(out + 8, static_cast<std::uint32_t>(first));
    PutLe32(out + 12, static_cast<std::uint32_t>(sectors));
  }
  PutLe32(&table[kOffSignature], GetLe32(&layout[kOffLayoutSignature]));
  table[kOffSignature + 4] = 0;
  table[kOffSignature + 5] = 0;
  table[kOffBootSignature] = 0x55;
  table[kOffBootSignature + 1] = 0xAA;
  std::copy(table.begin(), table.end(), mbr.begin());
  return true;
}

void ClearDriveLayout(std::span<std::uint8_t> mbr) {
  if (mbr.size() < kMbrLength) return;
  std::fill(mbr.begin() + kOffTable, mbr.begin() + kMbrLength, 0);
}

bool HoldsPartitionTable(std::span<const std::uint8_t> mbr, std::uint32_t sectorSize) {
  if (mbr.size() < kMbrLength || mbr[kOffBootSignature] != 0x55 ||
      mbr[kOffBootSignature + 1] != 0xAA)
    return false;
  for (std::size_t slot = 0; slot < kSlots; ++slot) {
    const std::uint8_t flag = mbr[kOffTable + slot * kEntryLength];
    if (flag != 0 && flag != 0x80) return false;
  }
  const bool jumps = mbr[0] == 0xEB || mbr[0] == 0xE9;
  return !jumps || !PartitionsInTable(mbr, sectorSize).empty();
}

std::vector<MbrPartition> PartitionsInTable(std::span<const std::uint8_t> mbr,
                                            std::uint32_t sectorSize) {
  std::vector<MbrPartition> partitions;
  if (mbr.size() < kMbrLength || mbr[kOffBootSignature] != 0x55 ||
      mbr[kOffBootSignature + 1] != 0xAA)
    return partitions;
  for (std::size_t slot = 0; slot < kSlots; ++slot) {
    const std::uint8_t* entry = &mbr[kOffTable + slot * kEntryLength];
    const std::uint32_t sectors = GetLe32(entry + 12);
    if (entry[4] == 0 || sectors == 0) continue;
    partitions.push_back({static_cast<unsigned>(slot + 1),
                          std::uint64_t{GetLe32(entry + 8)} * sectorSize,
                          std::uint64_t{sectors} * sectorSize});
  }
  return partitions;
}

}  // namespace kx7::linux_backend
