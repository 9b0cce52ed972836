#include "firmware/sdisk.h"

#include <algorithm>
#include <cstring>

#include "util/byte_order.h"

namespace kx7 {

namespace {

// From this many sectors on, the geometry is the largest one the BIOS
// interface can name, and the partition simply runs to the end of the drive.
constexpr std::uint32_t kFixedGeometrySectors = 1024u * 256u * 63u;
constexpr std::uint32_t kMaxCylinders = 1024;
constexpr std::uint32_t kMaxHeads = 256;
constexpr std::uint32_t kMaxSectorsPerTrack = 63;
// CHS targets beyond this are written as the customary "too large" triple.
constexpr std::uint32_t kLargestChsTarget = 1024u * 255u * 63u;

constexpr std::uint32_t kFat16MinClusters = 4085;
constexpr std::uint32_t kFat32MinClusters = 65525;
constexpr std::uint32_t kFat32MaxClusters = 0x0FFFFFF4;
constexpr std::uint32_t kFat16RootEntries = 1024;
constexpr std::uint32_t kDirectoryEntrySize = 32;
constexpr std::uint16_t kFat16ReservedSectors = 1;
constexpr std::uint16_t kFat32ReservedSectors = 32;
constexpr std::uint8_t kFatCount = 2;
constexpr std::uint8_t kMediaFixed = 0xF8;

constexpr std::uint8_t kPartitionTypeFat16 = 0x06;
constexpr std::uint8_t kPartitionTypeFat32 = 0x0B;

// Where the boot sector keeps its fields (the BIOS parameter block, then
// the extended one, whose place differs between FAT16 and FAT32).
namespace boot {
constexpr std::size_t kJump = 0;
constexpr std::size_t kOemName = 3;
constexpr std::size_t kBytesPerSector = 11;
constexpr std::size_t kSectorsPerCluster = 13;
constexpr std::size_t kReservedSectors = 14;
constexpr std::size_t kFatCount = 16;
constexpr std::size_t kRootEntries = 17;
constexpr std::size_t kTotalSectors16 = 19;
constexpr std::size_t kMedia = 21;
constexpr std::size_t kFatSectors16 = 22;
constexpr std::size_t kSectorsPerTrack = 24;
constexpr std::size_t kHeads = 26;
constexpr std::size_t kHiddenSectors = 28;
constexpr std::size_t kTotalSectors32 = 32;
// FAT16's extended parameter block.
constexpr std::size_t kFat16DriveNumber = 36;
constexpr std::size_t kFat16BootSignature = 38;
constexpr std::size_t kFat16TypeName = 54;
// FAT32's.
constexpr std::size_t kFat32FatSectors = 36;
constexpr std::size_t kFat32RootCluster = 44;
constexpr std::size_t kFat32FsInfoSector = 48;
constexpr std::size_t kFat32BackupBootSector = 50;
constexpr std::size_t kFat32DriveNumber = 64;
constexpr std::size_t kFat32BootSignature = 66;
constexpr std::size_t kFat32TypeName = 82;
constexpr std::size_t kSignature = 510;  // 55 AA, also of the MBR and the third sector
}  // namespace boot

// FAT32's FSInfo sector.
namespace fsinfo {
constexpr std::size_t kLeadSignature = 0;
constexpr std::size_t kStructSignature = 484;
constexpr std::size_t kFreeCount = 488;
constexpr std::size_t kNextFree = 492;
constexpr std::size_t kTrailSignature = 508;
}  // namespace fsinfo

// The master boot record's first partition entry.
namespace partition {
constexpr std::size_t kEntry1 = 446;
constexpr std::size_t kStatus = 0;
constexpr std::size_t kFirstChs = 1;
constexpr std::size_t kType = 4;
constexpr std::size_t kLastChs = 5;
constexpr std::size_t kFirstLba = 8;
constexpr std::size_t kSectors = 12;
}  // namespace partition

constexpr std::uint8_t kBootableDrive = 0x80;
constexpr std::uint8_t kExtendedBootSignature = 0x29;

void PutSignature(std::uint8_t* sector) {
  sector[boot::kSignature] = 0x55;
  sector[boot::kSignature + 1] = 0xAA;
}

// The boot code of the master boot record: it boots nothing and hands over
// to the next boot device (INT 18h).
constexpr std::uint8_t kMbrStub[48] = {
    0xFA,        // cli
    0xEB, 0x1D,  // jmp over the marker
    'K',  'X',  '7',  'T', 'M', 'B', ' ', 'd', 'a', 't', 'a', ' ', 'd', 'r',  'i',  'v',
    'e',  ' ',  '-',  ' ', 'n', 'o', ' ', 's', 'y', 's', 't', 'e', 'm', 0x33, 0xC0,  // xor ax, ax
    0xBC, 0x00, 0x7C,  // mov sp, 7C00h
    0x8E, 0xD0,        // mov ss, ax
    0xFB,              // sti
    0xCD, 0x18,        // int 18h
    0xEB, 0xFE,        // jmp $
    'k',  'x',  '7',  'f',
};
static_assert(sizeof kMbrStub == 48);

void PutText(std::uint8_t* at, const char* text, std::size_t length) {
  std::memcpy(at, text, length);
}

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) {
  return (a + b - 1) / b;
}

// Packed cylinder/head/sector as a partition entry holds it.
void PutChs(std::uint8_t* at, std::uint32_t cylinder, std::uint32_t head, std::uint32_t sector) {
  at[0] = static_cast<std::uint8_t>(head);
  at[1] = static_cast<std::uint8_t>((sector & 0x3F) | ((cylinder >> 2) & 0xC0));
  at[2] = static_cast<std::uint8_t>(cylinder);
}

// The (cylinder, head, sector) that counts `target` sectors from the first
// one (sector numbers start at 1); false when it lies beyond the geometry.
bool PutChsTarget(std::uint8_t* at, std::uint32_t target, const SDiskGeometry& g) {
  if (target > kLargestChsTarget) {
    PutChs(at, 1022, 254, 63);
    return true;
  }
  if (target == 0 || g.SectorsPerTrack == 0 || g.Heads == 0) return false;
  const std::uint32_t track = (target - 1) / g.SectorsPerTrack;
  const std::uint32_t sector = (target - 1) % g.SectorsPerTrack + 1;
  const std::uint32_t head = track % g.Heads;
  const std::uint32_t cylinder = track / g.Heads;
  if (cylinder >= g.Cylinders) return false;
  PutChs(at, cylinder, head, sector);
  return true;
}

}  // namespace

std::optional<ChsTriple> WalkGeometry(std::uint32_t sectorCount) {
  const std::uint64_t n = sectorCount;
  // Each (cylinders, heads) row is looked at only where it first reaches n:
  // triples below n are never candidates, and past the crossing every
  // predecessor already exceeds n, so its leftover (an unsigned difference)
  // can never win.
  for (const bool evenOnly : {true, false}) {
    std::optional<ChsTriple> best;
    std::uint32_t bestLeftover = 0x7FFFFFFF;
    for (std::uint32_t c = 1; c <= kMaxCylinders; ++c) {
      // Rows with fewer heads than this never reach n.
      const auto firstHeads =
          std::max<std::uint64_t>(1, CeilDiv(n, std::uint64_t{c} * kMaxSectorsPerTrack));
      for (auto h = static_cast<std::uint32_t>(std::min<std::uint64_t>(firstHeads, kMaxHeads + 1));
           h <= kMaxHeads; ++h) {
        const std::uint64_t ch = std::uint64_t{c} * h;
        const auto s = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, CeilDiv(n, ch)));
        if (ch * s == n && (!evenOnly || s % 2 == 0)) return ChsTriple{c, h, s, true};

        // The triple just before the crossing.
        ChsTriple before;
        if (s > 1)
          before = {c, h, s - 1};
        else if (h > 1)
          before = {c, h - 1, kMaxSectorsPerTrack};
        else if (c > 1)
          before = {c - 1, kMaxHeads, kMaxSectorsPerTrack};
        else
          return std::nullopt;
        const std::uint64_t product =
            std::uint64_t{before.Cylinders} * before.Heads * before.SectorsPerTrack;
        const auto leftover = static_cast<std::uint32_t>(n - product);
        if (leftover < bestLeftover && (!evenOnly || before.SectorsPerTrack % 2 == 0)) {
          best = before;
          bestLeftover = leftover;
        }
      }
    }
    if (best) return best;
  }
  return std::nullopt;
}

std::array<std::uint8_t, 11> LabelField(std::string_view label) {
  std::array<std::uint8_t, 11> field{};
  std::copy_n(label.begin(), std::min(label.size(), field.size()), field.begin());
  return field;
}

std::uint16_t CStSDisk::ReservedSectors() const {
  return GetLe16(&BootSector[boot::kReservedSectors]);
}

std::uint32_t CStSDisk::SectorsPerCluster() const {
  return BootSector[boot::kSectorsPerCluster];
}

std::uint32_t CStSDisk::FatSectors() const {
  return FatType == Fat32 ? GetLe32(&BootSector[boot::kFat32FatSectors])
                          : GetLe16(&BootSector[boot::kFatSectors16]);
}

std::uint32_t CStSDisk::ClusterCount() const {
  const std::uint32_t bytesPerSector = GetLe16(&BootSector[boot::kBytesPerSector]);
  const std::uint32_t cluster = SectorsPerCluster();
  if (bytesPerSector == 0 || cluster == 0) return 0;
  const std::uint64_t rootDir =
      CeilDiv(std::uint64_t{GetLe16(&BootSector[boot::kRootEntries])} * kDirectoryEntrySize,
              bytesPerSector);
  const std::uint64_t overhead =
      ReservedSectors() + std::uint64_t{kFatCount} * FatSectors() + rootDir;
  const std::uint64_t volume = VolumeSectors();
  return volume > overhead ? static_cast<std::uint32_t>((volume - overhead) / cluster) : 0;
}

CStSDisk::BootResult CStSDisk::FillBootSector() {
  const bool fat32 = FatType == Fat32;
  const std::uint16_t reserved = fat32 ? kFat32ReservedSectors : kFat16ReservedSectors;
  const std::uint16_t rootEntries = fat32 ? 0 : kFat16RootEntries;
  const std::uint32_t hidden = HiddenSectors();
  const std::uint32_t volume = Geometry.Capacity - hidden;

  std::uint8_t* b = BootSector.data();
  BootSector.fill(0);
  b[boot::kJump] = 0xEB;  // jmp short 40h, nop
  b[boot::kJump + 1] = 0x3E;
  b[boot::kJump + 2] = 0x90;
  PutText(b + boot::kOemName, "MSWIN4.1", 8);
  PutLe16(b + boot::kBytesPerSector, static_cast<std::uint16_t>(SectorSize));
  PutLe16(b + boot::kReservedSectors, reserved);
  b[boot::kFatCount] = kFatCount;
  PutLe16(b + boot::kRootEntries, rootEntries);
  b[boot::kMedia] = kMediaFixed;
  PutLe16(b + boot::kSectorsPerTrack, Geometry.SectorsPerTrack);
  PutLe16(b + boot::kHeads, Geometry.Heads);
  PutLe32(b + boot::kHiddenSectors, hidden);
  if (!fat32 && volume < 65536)
    PutLe16(b + boot::kTotalSectors16, static_cast<std::uint16_t>(volume));
  else
    PutLe32(b + boot::kTotalSectors32, volume);
  if (fat32) {
    PutLe32(b + boot::kFat32RootCluster, 2);
    PutLe16(b + boot::kFat32FsInfoSector, 1);
    PutLe16(b + boot::kFat32BackupBootSector, 6);
    b[boot::kFat32DriveNumber] = kBootableDrive;
    b[boot::kFat32BootSignature] = kExtendedBootSignature;
    PutText(b + boot::kFat32TypeName, "FAT32   ", 8);
  } else {
    b[boot::kFat16DriveNumber] = kBootableDrive;
    b[boot::kFat16BootSignature] = kExtendedBootSignature;
    PutText(b + boot::kFat16TypeName, "FAT16   ", 8);
  }
  PutSignature(b);

  // The cluster size: the largest that gives the volume a cluster count
  // valid for its FAT type, counted as FAT drivers count it - the clusters
  // that fit after the reserved sectors, both FATs and the root directory.
  const std::uint64_t rootDirSectors =
      CeilDiv(std::uint64_t{rootEntries} * kDirectoryEntrySize, SectorSize);
  if (volume <= rootDirSectors + reserved) return BootResult::Failed;
  const std::uint64_t dataAndFats = volume - rootDirSectors - reserved;
  for (std::uint32_t cluster = 32768 / SectorSize; cluster >= 1; cluster /= 2) {
    const std::uint64_t divisor = fat32 ? 128u * cluster + 1 : 256u * cluster + 2;
    std::uint64_t fatSectors = CeilDiv(dataAndFats, divisor);
    const auto clustersWith = [&](std::uint64_t fat) {
      const std::uint64_t fats = kFatCount * fat;
      return dataAndFats > fats ? (dataAndFats - fats) / cluster : 0;
    };
    // The estimate above can leave the FAT a sector short of the two entries
    // that precede the first cluster's; a FAT must map every cluster.
    const std::uint64_t entriesPerSector = SectorSize * 8u / (fat32 ? 32u : 16u);
    while (fatSectors * entriesPerSector < clustersWith(fatSectors) + 2) ++fatSectors;
    const std::uint64_t clusters = clustersWith(fatSectors);
    if (fat32) {
      if (clusters < kFat32MinClusters) continue;
      if (clusters > kFat32MaxClusters) return BootResult::Failed;
      b[boot::kSectorsPerCluster] = static_cast<std::uint8_t>(cluster);
      PutLe16(b + boot::kFatSectors16, 0);
      PutLe32(b + boot::kFat32FatSectors, static_cast<std::uint32_t>(fatSectors));
      return BootResult::Done;
    }
    if (clusters < kFat16MinClusters) continue;
    if (clusters >= kFat32MinClusters) return BootResult::SwitchToFat32;
    b[boot::kSectorsPerCluster] = static_cast<std::uint8_t>(cluster);
    PutLe16(b + boot::kFatSectors16, static_cast<std::uint16_t>(fatSectors));
    return BootResult::Done;
  }
  return BootResult::Failed;
}

bool CStSDisk::FillMbr() {
  Mbr.fill(0);
  std::copy(std::begin(kMbrStub), std::end(kMbrStub), Mbr.begin());
  const std::uint32_t start = HiddenSectors();
  const std::uint32_t size = Geometry.Capacity - start;
  std::uint8_t* entry = &Mbr[partition::kEntry1];
  entry[partition::kStatus] = kBootableDrive;
  entry[partition::kType] = FatType == Fat32 ? kPartitionTypeFat32 : kPartitionTypeFat16;
  PutLe32(entry + partition::kFirstLba, start);
  PutLe32(entry + partition::kSectors, size);
  // The start is counted from 1 on 512-byte sectors only; the end always.
  const std::uint32_t startTarget = SectorSize == 512 ? start + 1 : start;
  if (!PutChsTarget(entry + partition::kFirstChs, startTarget, Geometry)) return false;
  if (!PutChsTarget(entry + partition::kLastChs, start + size, Geometry)) return false;
  PutSignature(Mbr.data());
  return true;
}

bool CStSDisk::Plan(std::uint32_t sectorCount, std::uint32_t sectorSize, std::string_view label) {
  *this = CStSDisk();
  SectorCount = sectorCount;
  SectorSize = sectorSize;
  VolumeLabel = std::string(label.substr(0, 11));
  // FAT defines sectors of 512, 1024, 2048 and 4096 bytes; larger ones are
  // mounted neither by Windows nor by mtools.
  if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) != 0) return false;

  FatType = std::uint64_t{sectorCount} * sectorSize > (std::uint64_t{1} << 31) ? Fat32 : Fat16;

  if (sectorCount >= kFixedGeometrySectors) {
    Geometry = {255, 63, 1024, 0, sectorCount, false};
  } else {
    const std::optional<ChsTriple> triple = WalkGeometry(sectorCount);
    if (!triple) return false;
    const std::uint32_t capacity = triple->Cylinders * triple->Heads * triple->SectorsPerTrack;
    Geometry = {static_cast<std::uint16_t>(triple->Heads),
                static_cast<std::uint8_t>(triple->SectorsPerTrack),
                static_cast<std::uint16_t>(triple->Cylinders),
                sectorCount - capacity,
                capacity,
                triple->Exact};
  }

  switch (FillBootSector()) {
    case BootResult::Done:
      break;
    case BootResult::SwitchToFat32:
      FatType = Fat32;
      if (FillBootSector() != BootResult::Done) return false;
      break;
    case BootResult::Failed:
      return false;
  }

  if (FatType == Fat32) {
    PutLe32(&FsInfo[fsinfo::kLeadSignature], 0x41615252);    // "RRaA"
    PutLe32(&FsInfo[fsinfo::kStructSignature], 0x61417272);  // "rrAa"
    PutLe32(&FsInfo[fsinfo::kFreeCount], 0xFFFFFFFF);        // unknown
    PutLe32(&FsInfo[fsinfo::kNextFree], 0xFFFFFFFF);         // unknown
    PutLe32(&FsInfo[fsinfo::kTrailSignature], 0xAA550000);
    PutSignature(ThirdReserved.data());
    RootSectors = SectorsPerCluster();
  } else {
    RootSectors = kFat16RootEntries * kDirectoryEntrySize / sectorSize;
  }
  return FillMbr();
}

}  // namespace kx7
