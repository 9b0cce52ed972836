#include "device/commands.h"

#include <array>
#include <string_view>

#include "util/ascii.h"
#include "util/byte_order.h"

namespace kx7 {

using pass_through::kDataIn;
using pass_through::kDataOut;

namespace {

// The header and the first two CDB bytes of a vendor command.
std::uint8_t* VendorCdb(std::uint8_t* cdb, std::uint8_t opcode, std::uint8_t operation) {
  if (cdb) {
    cdb[0] = opcode;
    cdb[1] = operation;
  }
  return cdb;
}

}  // namespace

bool CStScsiInquiry::BuildRequest() {
  std::uint8_t* cdb = AllocateRequest(kDataIn, TimeoutSeconds);
  if (!cdb) return false;
  cdb[0] = opcode::kInquiry;
  cdb[4] = static_cast<std::uint8_t>(kLength);
  return true;
}

DeviceKind CStScsiInquiry::GetDeviceKind() const {
  std::uint8_t peripheral = 0;
  // Peripheral device type 0: a direct-access block device.
  if (!ReadByte(0, peripheral) || (peripheral & 0x1F) != 0) return DeviceKindNone;
  if (FieldEquals(16, "MSC Recovery") && FieldEquals(8, "_Generic")) return DeviceKindUpdater;
  // The vendor field and the start of the product field together.
  if (FieldEquals(16, "Tessio Mirl") && FieldEquals(8, "Korvane Tessio Mirl"))
    return DeviceKindPlayer;
  return DeviceKindNone;
}

bool CStScsiInquiry::FieldEquals(std::uint32_t offset, std::string_view text) const {
  std::array<std::uint8_t, kLength> field{};
  if (text.size() > field.size() || !ReadBytes(offset, std::span(field).first(text.size())))
    return false;
  return EqualsIgnoreCase(
      std::string_view(reinterpret_cast<const char*>(field.data()), text.size()), text);
}

bool CStGetProtocolVersion::BuildRequest() {
  return VendorCdb(AllocateRequest(kDataIn, TimeoutSeconds), opcode::kVendorIn,
                   opcode::kGetProtocolVersion) != nullptr;
}

bool CStGetProtocolVersion::GetProtocolVersion(std::int32_t& version) const {
  std::uint8_t byte = 0;
  if (!ReadByte(0, byte)) return false;
  version = byte;
  return true;
}

bool CStGetLogicalMediaInfo::BuildRequest() {
  std::uint8_t* cdb = VendorCdb(AllocateRequest(kDataIn, TimeoutSeconds), opcode::kVendorIn,
                                opcode::kGetLogicalMediaInfo);
  if (!cdb) return false;
  cdb[2] = static_cast<std::uint8_t>(InfoType);
  return true;
}

bool CStGetLogicalMediaInfo::GetValue(std::uint8_t& value) const {
  return ReadByte(0, value);
}

bool CStGetLogicalMediaInfo::GetMediaType(std::uint8_t& mediaType) const {
  return InfoType == info_type::kMediaType && ReadByte(0, mediaType);
}

bool CStGetChipMajorRevId::BuildRequest() {
  return VendorCdb(AllocateRequest(kDataIn, TimeoutSeconds), opcode::kVendorIn,
                   opcode::kGetChipMajorRevId) != nullptr;
}

bool CStGetChipMajorRevId::GetChipMajorRevId(std::uint16_t& id) const {
  return ReadBe16(0, id);
}

bool CStGetROMRevId::BuildRequest() {
  return VendorCdb(AllocateRequest(kDataIn, TimeoutSeconds), opcode::kVendorIn,
                   opcode::kGetROMRevId) != nullptr;
}

bool CStGetROMRevId::GetROMRevId(std::uint16_t& id) const {
  return ReadBe16(0, id);
}

bool CStGetLogicalTable::BuildRequest() {
  std::uint8_t* cdb = VendorCdb(AllocateRequest(kDataIn, TimeoutSeconds), opcode::kVendorIn,
                                opcode::kGetLogicalTable);
  if (!cdb) return false;
  cdb[2] = static_cast<std::uint8_t>(kMaxLogicalTableEntries);
  return true;
}

bool CStGetLogicalTable::GetEntryCount(std::uint16_t& count) const {
  return ReadBe16(0, count);
}

bool CStGetLogicalTable::GetEntry(std::uint32_t index, DriveTableEntry& entry) const {
  if (index >= EntryCount) return false;
  std::array<std::uint8_t, kLogicalTableEntrySize> raw{};
  if (!ReadBytes(2 + kLogicalTableEntrySize * index, raw)) return false;
  entry = DriveTableEntry{};
  entry.DriveNumber = raw[0];
  entry.DriveType = raw[1];
  entry.DriveTag = raw[2];
  entry.SizeInBytes = GetBe64(&raw[3]);
  return true;
}

bool CStGetLogicalDriveInfo::BuildRequest() {
  std::uint8_t* cdb = VendorCdb(AllocateRequest(kDataIn, TimeoutSeconds), opcode::kVendorIn,
                                opcode::kGetLogicalDriveInfo);
  if (!cdb) return false;
  cdb[2] = DriveNumber;
  cdb[3] = static_cast<std::uint8_t>(InfoType);
  return true;
}

bool CStGetLogicalDriveInfo::GetVersion(VersionTriple& version) const {
  if (InfoType != info_type::kProductVersion || !Completed) return false;
  for (std::uint32_t k = 0; k < version.size(); ++k) ReadBe16(2 * k, version[k]);
  return true;
}

bool CStGetLogicalDriveInfo::GetSectorSize(std::uint32_t& sectorSize) const {
  return ReadBe32(0, sectorSize);
}

bool CStReadCapacity::BuildRequest() {
  std::uint8_t* cdb = AllocateRequest(kDataIn, TimeoutSeconds);
  if (!cdb) return false;
  cdb[0] = opcode::kReadCapacity10;
  return true;
}

bool CStReadCapacity::GetLastLogicalBlockAddress(std::uint32_t& lba) const {
  return ReadBe32(0, lba);
}

bool CStReadCapacity::GetBlockLength(std::uint32_t& length) const {
  return ReadBe32(4, length);
}

bool CStReadLogicalDriveSector::BuildRequest() {
  std::uint8_t* cdb = VendorCdb(AllocateRequest(kDataIn, TimeoutSeconds), opcode::kVendorIn,
                                opcode::kReadLogicalDriveSector);
  if (!cdb) return false;
  cdb[2] = DriveNumber;
  PutBe64(cdb + 3, StartSector);
  PutBe32(cdb + 11, SectorCount);
  return true;
}

bool CStWriteLogicalDriveSector::BuildRequest() {
  // The only command with a timeout of its own: the last chunk of an image is
  // given less time than the rest.
  std::uint8_t* cdb = VendorCdb(AllocateRequest(kDataOut, WriteTimeoutSeconds), opcode::kVendorOut,
                                opcode::kWriteLogicalDriveSector);
  if (!cdb) return false;
  cdb[2] = DriveNumber;
  PutBe64(cdb + 3, StartSector);
  PutBe32(cdb + 11, SectorCount);
  return true;
}

bool CStEraseLogicalDrive::BuildRequest() {
  std::uint8_t* cdb = VendorCdb(AllocateRequest(kDataOut, TimeoutSeconds), opcode::kVendorOut,
                                opcode::kEraseLogicalDrive);
  if (!cdb) return false;
  cdb[2] = DriveNumber;
  return true;
}

bool CStEraseLogicalMedia::BuildRequest() {
  std::uint8_t* cdb = VendorCdb(AllocateRequest(kDataOut, TimeoutSeconds), opcode::kVendorOut,
                                opcode::kEraseLogicalMedia);
  if (!cdb) return false;
  cdb[2] = EraseOption;
  return true;
}

bool CStAllocateLogicalMedia::BuildRequest() {
  std::uint8_t* cdb = VendorCdb(AllocateRequest(kDataOut, TimeoutSeconds), opcode::kVendorOut,
                                opcode::kAllocateLogicalMedia);
  if (!cdb) return false;
  cdb[2] = static_cast<std::uint8_t>(Entries.size());
  // Ten bytes per entry, packed, although eleven per entry are transferred:
  // the last bytes of the data area stay zero.
  std::uint8_t* out = ResponseData();
  for (const MediaAllocationEntry& entry : Entries) {
    out[0] = entry.DriveType;
    out[1] = entry.DriveTag;
    PutBe64(out + 2, entry.SizeInBytes);
    out += kAllocationPackedEntrySize;
  }
  return true;
}

bool CStSetLogicalDriveInfo::BuildRequest() {
  std::uint8_t* cdb = VendorCdb(AllocateRequest(kDataOut, TimeoutSeconds), opcode::kVendorOut,
                                opcode::kSetLogicalDriveInfo);
  if (!cdb) return false;
  cdb[2] = DriveNumber;
  cdb[3] = static_cast<std::uint8_t>(InfoType);
  if (InfoType == info_type::kMediaType) {
    cdb[4] = ByteValue;
  } else if (InfoType == info_type::kComponentVersion || InfoType == info_type::kProductVersion) {
    for (std::size_t k = 0; k < VersionValue.size(); ++k) PutBe16(cdb + 4 + 2 * k, VersionValue[k]);
  }
  return true;
}

bool CStResetToRecovery::BuildRequest() {
  return VendorCdb(AllocateRequest(kDataOut, TimeoutSeconds), opcode::kVendorOut,
                   opcode::kResetToRecovery) != nullptr;
}

bool CStChipReset::BuildRequest() {
  return VendorCdb(AllocateRequest(kDataOut, TimeoutSeconds), opcode::kVendorOut,
                   opcode::kChipReset) != nullptr;
}

}  // namespace kx7
