#pragma once

// The command set the library sends to the player in mass-storage mode.
// Vendor commands use operation code 0xC0 when data flows from the device and
// 0xC1 when it flows to the device or there is none; the second CDB byte
// selects the operation.

#include <cstdint>
#include <string_view>
#include <vector>

#include "device/cmd_base.h"
#include "device/drive_types.h"

namespace kx7 {

namespace opcode {
inline constexpr std::uint8_t kInquiry = 0x12;
inline constexpr std::uint8_t kReadCapacity10 = 0x25;
inline constexpr std::uint8_t kVendorIn = 0xC0;
inline constexpr std::uint8_t kVendorOut = 0xC1;

// Second CDB byte of the vendor commands.
inline constexpr std::uint8_t kGetProtocolVersion = 0x00;
inline constexpr std::uint8_t kGetLogicalMediaInfo = 0x02;
inline constexpr std::uint8_t kGetLogicalTable = 0x05;
inline constexpr std::uint8_t kAllocateLogicalMedia = 0x06;
inline constexpr std::uint8_t kEraseLogicalMedia = 0x07;
inline constexpr std::uint8_t kGetLogicalDriveInfo = 0x12;
inline constexpr std::uint8_t kReadLogicalDriveSector = 0x13;
inline constexpr std::uint8_t kSetLogicalDriveInfo = 0x20;
inline constexpr std::uint8_t kWriteLogicalDriveSector = 0x23;
inline constexpr std::uint8_t kEraseLogicalDrive = 0x2F;
inline constexpr std::uint8_t kGetChipMajorRevId = 0x30;
inline constexpr std::uint8_t kChipReset = 0x31;
inline constexpr std::uint8_t kGetROMRevId = 0x37;
inline constexpr std::uint8_t kResetToRecovery = 0x42;
}  // namespace opcode

// Info types of the media and drive information queries.
namespace info_type {
inline constexpr std::uint32_t kMediaType = 6;         // logical media: media type byte
inline constexpr std::uint32_t kMediaPresent = 9;      // logical media: non-zero flag
inline constexpr std::uint32_t kSectorSize = 0;        // logical drive: u32
inline constexpr std::uint32_t kComponentVersion = 7;  // logical drive: version triple
inline constexpr std::uint32_t kProductVersion = 8;    // logical drive: version triple
}  // namespace info_type

inline constexpr std::uint32_t kMaxLogicalTableEntries = 20;
inline constexpr std::uint32_t kLogicalTableEntrySize = 11;
inline constexpr std::uint32_t kAllocationEntrySize = 11;
inline constexpr std::uint32_t kAllocationPackedEntrySize = 10;

class CStScsiInquiry : public CStDdiCmdBase {
 public:
  static constexpr std::uint32_t kLength = 96;
  CStScsiInquiry() : CStDdiCmdBase(6, kLength) {}
  bool BuildRequest() override;
  // DeviceKindPlayer, DeviceKindUpdater or DeviceKindNone; never
  // DeviceKindPlayerProtocol2, which the session decides.
  DeviceKind GetDeviceKind() const;

 private:
  // Whether the response bytes at `offset` spell `text`, ignoring case.
  bool FieldEquals(std::uint32_t offset, std::string_view text) const;
};

class CStGetProtocolVersion : public CStDdiCmdBase {
 public:
  CStGetProtocolVersion() : CStDdiCmdBase(16, 2) {}
  bool BuildRequest() override;
  bool GetProtocolVersion(std::int32_t& version) const;
};

class CStGetLogicalMediaInfo : public CStDdiCmdBase {
 public:
  CStGetLogicalMediaInfo(std::uint32_t infoType, std::uint32_t transferLength)
      : CStDdiCmdBase(16, transferLength), InfoType(infoType) {}
  bool BuildRequest() override;
  // Data byte 0 whatever the info type.
  bool GetValue(std::uint8_t& value) const;
  // Data byte 0, only for info type 6.
  bool GetMediaType(std::uint8_t& mediaType) const;

  std::uint32_t InfoType;
};

class CStGetChipMajorRevId : public CStDdiCmdBase {
 public:
  CStGetChipMajorRevId() : CStDdiCmdBase(16, 2) {}
  bool BuildRequest() override;
  bool GetChipMajorRevId(std::uint16_t& id) const;
};

class CStGetROMRevId : public CStDdiCmdBase {
 public:
  CStGetROMRevId() : CStDdiCmdBase(16, 2) {}
  bool BuildRequest() override;
  bool GetROMRevId(std::uint16_t& id) const;
};

class CStGetLogicalTable : public CStDdiCmdBase {
 public:
  static constexpr std::uint32_t kLength = 2 + kMaxLogicalTableEntries * kLogicalTableEntrySize;
  CStGetLogicalTable() : CStDdiCmdBase(16, kLength) {}
  ~CStGetLogicalTable() override { EntryCount = 0; }
  bool BuildRequest() override;
  // The count the device announces (u16 at data offset 0).
  bool GetEntryCount(std::uint16_t& count) const;
  // Entry i of EntryCount, at data offset 2 + 11 * i.
  bool GetEntry(std::uint32_t index, DriveTableEntry& entry) const;

  std::uint16_t EntryCount = 0;
};

class CStGetLogicalDriveInfo : public CStDdiCmdBase {
 public:
  CStGetLogicalDriveInfo(std::uint8_t driveNumber, std::uint32_t infoType,
                         std::uint32_t transferLength)
      : CStDdiCmdBase(16, transferLength), DriveNumber(driveNumber), InfoType(infoType) {}
  bool BuildRequest() override;
  // Info type 8: the three big-endian words that lie within the response.
  bool GetVersion(VersionTriple& version) const;
  // Info type 0: u32 at data offset 0.
  bool GetSectorSize(std::uint32_t& sectorSize) const;

  std::uint8_t DriveNumber;
  std::uint32_t InfoType;
};

class CStReadCapacity : public CStDdiCmdBase {
 public:
  CStReadCapacity() : CStDdiCmdBase(10, 8) {}
  bool BuildRequest() override;
  bool GetLastLogicalBlockAddress(std::uint32_t& lba) const;
  bool GetBlockLength(std::uint32_t& length) const;
};

class CStReadLogicalDriveSector : public CStDdiCmdBase {
 public:
  CStReadLogicalDriveSector(std::uint8_t driveNumber, std::uint64_t startSector,
                            std::uint32_t sectorCount, std::uint32_t transferLength)
      : CStDdiCmdBase(16, transferLength),
        SectorCount(sectorCount),
        StartSector(startSector),
        DriveNumber(driveNumber) {}
  bool BuildRequest() override;

  std::uint32_t SectorCount;
  std::uint64_t StartSector;
  std::uint8_t DriveNumber;
};

class CStWriteLogicalDriveSector : public CStDdiCmdBase {
 public:
  CStWriteLogicalDriveSector(std::uint8_t driveNumber, std::uint64_t startSector,
                             std::uint32_t sectorCount, std::uint32_t transferLength,
                             std::uint32_t writeTimeoutSeconds)
      : CStDdiCmdBase(16, transferLength),
        SectorCount(sectorCount),
        StartSector(startSector),
        DriveNumber(driveNumber),
        WriteTimeoutSeconds(writeTimeoutSeconds) {}
  bool BuildRequest() override;

  std::uint32_t SectorCount;
  std::uint64_t StartSector;
  std::uint8_t DriveNumber;
  std::uint32_t WriteTimeoutSeconds;
};

class CStEraseLogicalDrive : public CStDdiCmdBase {
 public:
  explicit CStEraseLogicalDrive(std::uint8_t driveNumber)
      : CStDdiCmdBase(16, 0), DriveNumber(driveNumber) {}
  bool BuildRequest() override;

  std::uint8_t DriveNumber;
};

class CStEraseLogicalMedia : public CStDdiCmdBase {
 public:
  explicit CStEraseLogicalMedia(std::uint8_t eraseOption)
      : CStDdiCmdBase(16, 0), EraseOption(eraseOption) {}
  bool BuildRequest() override;

  std::uint8_t EraseOption;
};

class CStAllocateLogicalMedia : public CStDdiCmdBase {
 public:
  explicit CStAllocateLogicalMedia(const std::vector<MediaAllocationEntry>& entries)
      : CStDdiCmdBase(16, static_cast<std::uint32_t>(entries.size()) * kAllocationEntrySize),
        Entries(entries) {}
  // The command keeps a reference to the list until it is sent: a temporary
  // list would be gone by then.
  explicit CStAllocateLogicalMedia(std::vector<MediaAllocationEntry>&&) = delete;
  // Also packs the entries into the data area: type, tag, size (u64 BE), ten
  // bytes each; the drive number is not sent.
  bool BuildRequest() override;

  const std::vector<MediaAllocationEntry>& Entries;
};

class CStSetLogicalDriveInfo : public CStDdiCmdBase {
 public:
  CStSetLogicalDriveInfo(std::uint8_t driveNumber, std::uint32_t infoType, std::uint8_t byteValue,
                         VersionTriple versionValue)
      : CStDdiCmdBase(16, 0),
        DriveNumber(driveNumber),
        InfoType(infoType),
        ByteValue(byteValue),
        VersionValue(versionValue) {}
  bool BuildRequest() override;

  std::uint8_t DriveNumber;
  std::uint32_t InfoType;
  std::uint8_t ByteValue;
  VersionTriple VersionValue;
};

class CStResetToRecovery : public CStDdiCmdBase {
 public:
  CStResetToRecovery() : CStDdiCmdBase(16, 0) {}
  bool BuildRequest() override;
};

class CStChipReset : public CStDdiCmdBase {
 public:
  CStChipReset() : CStDdiCmdBase(16, 0) {}
  bool BuildRequest() override;
};

}  // namespace kx7
