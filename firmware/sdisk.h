#pragma once

// The in-memory plan of the data drive: a master boot record with one
// partition and a FAT16 or FAT32 file system, sector for sector, before any
// of it is written.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kx7 {

using SectorBlock = std::array<std::uint8_t, 512>;

// The disk geometry the partition table is laid out for.
struct SDiskGeometry {
  std::uint16_t Heads = 0;
  std::uint8_t SectorsPerTrack = 0;
  std::uint16_t Cylinders = 0;
  std::uint32_t Leftover = 0;  // sectors after the last whole cylinder
  std::uint32_t Capacity = 0;  // cylinders x heads x sectors per track (or the whole drive)
  bool Exact = false;          // the triple's product is the sector count itself
};

// The cylinder/head/sector triple of the walk, before it becomes a geometry.
struct ChsTriple {
  std::uint32_t Cylinders = 0;
  std::uint32_t Heads = 0;
  std::uint32_t SectorsPerTrack = 0;
  bool Exact = false;
};

// The geometry walk over (cylinders 1..1024, heads 1..256, sectors 1..63):
// the exact triple (even sectors per track first), else the triple just
// before a crossing of `sectorCount` that leaves the fewest sectors over.
// Nothing for counts of 0 and 1. Meant for counts below the fixed
// 1024/255/63 geometry.
std::optional<ChsTriple> WalkGeometry(std::uint32_t sectorCount);

class CStSDisk {
 public:
  enum FatTypes : std::uint16_t { FatNone = 255, Fat16 = 1, Fat32 = 2 };

  CStSDisk() = default;
  virtual ~CStSDisk() = default;

  // Fills every field for a drive of `sectorCount` sectors. False when the
  // drive cannot hold a valid FAT16 or FAT32 volume; nothing is to be
  // written then.
  bool Plan(std::uint32_t sectorCount, std::uint32_t sectorSize, std::string_view label);

  // Derived from the plan.
  std::uint32_t HiddenSectors() const { return Geometry.SectorsPerTrack; }
  std::uint16_t ReservedSectors() const;
  std::uint32_t SectorsPerCluster() const;
  std::uint32_t FatSectors() const;
  std::uint32_t VolumeSectors() const { return Geometry.Capacity - HiddenSectors(); }
  // Clusters that fit in the data area after the reserved sectors, both
  // FATs and the FAT16 root directory.
  std::uint32_t ClusterCount() const;

  std::uint32_t SectorCount = 0;
  std::uint32_t SectorSize = 0;
  std::string VolumeLabel;  // at most 11 characters are used
  SectorBlock Mbr = {};
  SectorBlock BootSector = {};
  SectorBlock FsInfo = {};
  SectorBlock ThirdReserved = {};
  std::uint32_t RootSectors = 0;
  SDiskGeometry Geometry;
  std::uint16_t FatType = FatNone;

 private:
  enum class BootResult { Done, SwitchToFat32, Failed };
  BootResult FillBootSector();
  bool FillMbr();
};

// The volume label's bytes as the root directory holds them: at most 11
// characters, zero-padded.
std::array<std::uint8_t, 11> LabelField(std::string_view label);

}  // namespace kx7
