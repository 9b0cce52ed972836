#include "device/drive_table.h"

#include "device/commands.h"

namespace kx7 {

const std::map<std::uint8_t, std::string_view>& DriveTagNames() {
  static const std::map<std::uint8_t, std::string_view> names = {
      {0x00, "DRIVE_TAG_STMPSYS_S"},
      {0x01, "DRIVE_TAG_HOSTLINK_S"},
      {0x02, "DRIVE_TAG_RESOURCE_BIN"},
      {0x12, "DRIVE_TAG_RESOURCE_BIN + 0x10"},
      {0x22, "DRIVE_TAG_RESOURCE_BIN + 0x20"},
      {0x03, "DRIVE_TAG_EXTRA_S"},
      {0x04, "DRIVE_TAG_RESOURCE1_BIN"},
      {0x05, "DRIVE_TAG_OTG_S"},
      {0x06, "DRIVE_TAG_HOSTRSC_BIN"},
      {0x0A, "DRIVE_TAG_DATA"},
      {0x0B, "DRIVE_TAG_DATA_HIDDEN"},
      {0x0C, "DRIVE_TAG_DATA_SETTINGS"},
      {0x50, "DRIVE_TAG_BOOTMANAGER_S"},
      {0x60, "DRIVE_TAG_BOOTMANAGER_S + 0x10"},
      {0x70, "DRIVE_TAG_BOOTMANAGER_S + 0x20"},
      {0xA0, "DRIVE_TAG_Bootlet_S"},
      {0xFE, "DRIVE_TAG_UPDATER_NAND_S"},
      {0xFF, "DRIVE_TAG_UPDATER_S"},
  };
  return names;
}

const std::map<std::int32_t, std::string_view>& DriveTypeNames() {
  static const std::map<std::int32_t, std::string_view> names = {
      {DriveTypeInvalid, "DriveTypeInvalid"},         {DriveTypeData, "DriveTypeData"},
      {DriveTypeSystem, "DriveTypeSystem"},           {DriveTypeHiddenData, "DriveTypeHiddenData"},
      {DriveTypeNonVolatile, "DriveTypeNonVolatile"}, {DriveTypeUnknown, "DriveTypeUnknown"},
      {DriveTypeLbanand, "DriveTypeLbanand"},
  };
  return names;
}

DriveTable::DriveTable() {
  // Built on first use of any table, once per process.
  DriveTagNames();
  DriveTypeNames();
}

bool DriveTable::Insert(const DriveTableEntry& entry) {
  return entries_.emplace(entry.DriveTag, entry).second;
}

const DriveTableEntry* DriveTable::FindByTag(std::uint8_t tag) const {
  const auto it = entries_.find(tag);
  return it == entries_.end() ? nullptr : &it->second;
}

bool DriveTable::Load(platform::VolumeIo& io, platform::Handle device) {
  Clear();
  entryCount_ = 0;
  CStGetLogicalTable table;
  if (!table.Send(io, device) || !table.GetEntryCount(table.EntryCount)) return false;
  entryCount_ = table.EntryCount;
  for (std::uint32_t i = 0; i < table.EntryCount; ++i) {
    DriveTableEntry entry;
    // An entry the response cannot hold (more than 20) fails like a duplicate.
    if (!table.GetEntry(i, entry) || !Insert(entry)) {
      Clear();
      return false;
    }
  }
  return true;
}

bool DriveTable::LoadVersions(platform::VolumeIo& io, platform::Handle device) {
  for (auto& [tag, entry] : entries_) {
    CStGetLogicalDriveInfo query(entry.DriveNumber, info_type::kProductVersion, 6);
    if (query.Send(io, device)) query.GetVersion(entry.Version);
  }
  return true;
}

bool DriveTable::LoadSectorSizes(platform::VolumeIo& io, platform::Handle device) {
  for (auto& [tag, entry] : entries_) {
    CStGetLogicalDriveInfo query(entry.DriveNumber, info_type::kSectorSize, 4);
    if (!query.Send(io, device) || !query.GetSectorSize(entry.SectorSize)) return false;
  }
  return true;
}

}  // namespace kx7
