#pragma once

// Lays the data drive's partition table and FAT file system down sector by
// sector, every sector read back, through the updater's session.

#include <cstdint>
#include <string_view>

#include "firmware/sdisk.h"
#include "media/raw_sectors.h"

namespace kx7 {

// Plans the drive and writes it. The writer's session must hold the volume
// lock of the updater's drive letter; it ends reopened at that letter,
// locked, with the volume dismounted. False at the first step that fails;
// what was written stays.
bool FormatDataDrive(SectorWriter& writer, std::uint32_t sectorSize, std::string_view label,
                     std::uint32_t sectorCount);

// Both FATs from `sector` on: zeros, each copy starting with the media and
// end-of-chain entries of its type.
bool WriteFats(SectorWriter& writer, const CStSDisk& disk, std::uint32_t& sector);
// `count` zero sectors of root directory whose first entry is the volume
// label.
bool WriteRootDirectory(SectorWriter& writer, std::uint32_t count, std::uint32_t& sector,
                        std::string_view label);

}  // namespace kx7
