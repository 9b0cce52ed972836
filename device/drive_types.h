#pragma once

#include <cstdint>

#include "util/version_triple.h"

namespace kx7 {

// What INQUIRY (and the protocol version) says is on the other end.
enum DeviceKind : std::int32_t {
  DeviceKindNone = 0,
  DeviceKindPlayer = 3,           // player firmware in mass-storage mode
  DeviceKindPlayerProtocol2 = 4,  // the same, speaking protocol version 2
  DeviceKindUpdater = 5,          // updater in mass-storage mode ("MSC Recovery")
};

// Drive tags the library names drives by.
inline constexpr std::uint8_t DRIVE_TAG_STMPSYS_S = 0x00;
inline constexpr std::uint8_t DRIVE_TAG_HOSTLINK_S = 0x01;
inline constexpr std::uint8_t DRIVE_TAG_RESOURCE_BIN = 0x02;
inline constexpr std::uint8_t DRIVE_TAG_EXTRA_S = 0x03;
inline constexpr std::uint8_t DRIVE_TAG_RESOURCE1_BIN = 0x04;
inline constexpr std::uint8_t DRIVE_TAG_OTG_S = 0x05;
inline constexpr std::uint8_t DRIVE_TAG_HOSTRSC_BIN = 0x06;
inline constexpr std::uint8_t DRIVE_TAG_DATA = 0x0A;
inline constexpr std::uint8_t DRIVE_TAG_DATA_HIDDEN = 0x0B;
inline constexpr std::uint8_t DRIVE_TAG_DATA_SETTINGS = 0x0C;
inline constexpr std::uint8_t DRIVE_TAG_BOOTMANAGER_S = 0x50;
inline constexpr std::uint8_t DRIVE_TAG_Bootlet_S = 0xA0;
inline constexpr std::uint8_t DRIVE_TAG_UPDATER_NAND_S = 0xFE;
inline constexpr std::uint8_t DRIVE_TAG_UPDATER_S = 0xFF;

// Drive types.
enum DriveType : std::int32_t {
  DriveTypeInvalid = -1,
  DriveTypeData = 0,
  DriveTypeSystem = 1,
  DriveTypeHiddenData = 2,
  DriveTypeNonVolatile = 3,
  DriveTypeUnknown = 4,
  DriveTypeLbanand = 5,
};

// One logical drive as the player reports it, enriched with its version and
// sector size.
struct DriveTableEntry {
  std::uint8_t DriveNumber = 0;
  std::uint8_t DriveType = 0;
  std::uint8_t DriveTag = 0;
  std::uint64_t SizeInBytes = 0;
  VersionTriple Version = {0, 0, 0};
  std::uint32_t SectorSize = 0;
};

// One row of the table that re-allocates the player's media.
struct MediaAllocationEntry {
  std::uint8_t DriveNumber = 0;
  std::uint8_t DriveType = 0;
  std::uint8_t DriveTag = 0;
  std::uint64_t SizeInBytes = 0;
};

}  // namespace kx7
