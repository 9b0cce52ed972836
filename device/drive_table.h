#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>

#include "device/drive_types.h"
#include "platform/handle.h"
#include "platform/volume_io.h"

namespace kx7 {

// The player's logical drives keyed by tag, iterated in ascending tag order.
// Every drive operation names its drive by tag; the table supplies the drive
// number and sector size.
class DriveTable {
 public:
  using Entries = std::map<std::uint8_t, DriveTableEntry>;

  DriveTable();

  // Adds the entry unless one with the same tag is already there.
  bool Insert(const DriveTableEntry& entry);
  const DriveTableEntry* FindByTag(std::uint8_t tag) const;
  void Clear() { entries_.clear(); }

  // Reads the device's logical table. A duplicate tag, or an entry beyond
  // what the response can hold, fails the whole load with an empty table.
  bool Load(platform::VolumeIo& io, platform::Handle device);
  // Fills each drive's version triple; a drive that does not answer keeps
  // the version it had. Always true.
  bool LoadVersions(platform::VolumeIo& io, platform::Handle device);
  // Fills each drive's sector size; the first drive that does not answer
  // ends the step with false.
  bool LoadSectorSizes(platform::VolumeIo& io, platform::Handle device);

  std::uint16_t EntryCount() const { return entryCount_; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  Entries::const_iterator begin() const { return entries_.begin(); }
  Entries::const_iterator end() const { return entries_.end(); }

 private:
  Entries entries_;
  std::uint16_t entryCount_ = 0;
};

// Names of drive tags and drive types, for display only.
const std::map<std::uint8_t, std::string_view>& DriveTagNames();
const std::map<std::int32_t, std::string_view>& DriveTypeNames();

}  // namespace kx7
