// The player's logical drive table as the library loads it from the
// simulated player: order, uniqueness, the 20-entry limit, versions and
// sector sizes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "device/commands.h"
#include "device/drive_table.h"
#include "sim/world.h"
#include "support/sim_fixture.h"

namespace kx7 {
namespace {

using test::Hex;

sim::SimDrive Drive(std::uint8_t number, std::uint8_t type, std::uint8_t tag, std::uint64_t size,
                    std::uint32_t sectorSize, sim::Triple version) {
  sim::SimDrive d;
  d.number = number;
  d.type = type;
  d.tag = tag;
  d.sizeBytes = size;
  d.sectorSize = sectorSize;
  d.productVersion = version;
  d.componentVersion = {9, 9, 9};
  return d;
}

// One 11-byte logical table entry as the device reports it.
std::vector<std::uint8_t> RawEntry(std::uint8_t number, std::uint8_t type, std::uint8_t tag,
                                   std::uint64_t size) {
  std::vector<std::uint8_t> e = {number, type, tag};
  for (int shift = 56; shift >= 0; shift -= 8)
    e.push_back(static_cast<std::uint8_t>(size >> shift));
  return e;
}

class DriveTableLoad : public ::testing::Test {
 protected:
  DriveTableLoad() : services(world.services()), player(world.addPlayer({})) {
    player.drives.push_back(Drive(6, 1, 0xFF, 0x80000, 2048, {6, 0, 1}));
    player.drives.push_back(Drive(0, 0, 0x0A, 0x4000000, 512, {0, 1, 2}));
    player.drives.push_back(Drive(2, 1, 0x50, 0x200000, 4096, {2, 3, 14}));
  }

  platform::Handle Open() {
    const platform::Handle h = services.volumes.openDevice("\\\\.\\E:");
    EXPECT_TRUE(h.isOpen());
    return h;
  }

  std::vector<std::uint8_t> TagsInOrder() const {
    std::vector<std::uint8_t> tags;
    for (const auto& [tag, entry] : table) {
      EXPECT_EQ(tag, entry.DriveTag);
      tags.push_back(tag);
    }
    return tags;
  }

  std::vector<sim::Event> Scsi() { return world.transcript().of(sim::EventKind::Scsi); }

  void OverrideTable(std::uint16_t count, const std::vector<std::vector<std::uint8_t>>& entries) {
    std::vector<std::uint8_t> raw;
    for (const auto& e : entries) raw.insert(raw.end(), e.begin(), e.end());
    player.logicalTableOverride = std::make_pair(count, raw);
  }

  sim::World world;
  platform::Services services;
  sim::Player& player;
  DriveTable table;
};

TEST_F(DriveTableLoad, EntriesReportedOutOfOrderIterateByTag) {
  const platform::Handle h = Open();
  ASSERT_TRUE(table.Load(services.volumes, h));
  EXPECT_EQ(table.EntryCount(), 3);
  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(TagsInOrder(), (std::vector<std::uint8_t>{0x0A, 0x50, 0xFF}));

  const DriveTableEntry* data = table.FindByTag(0x0A);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->DriveNumber, 0);
  EXPECT_EQ(data->DriveType, 0);
  EXPECT_EQ(data->SizeInBytes, 0x4000000u);
  const DriveTableEntry* updater = table.FindByTag(0xFF);
  ASSERT_NE(updater, nullptr);
  EXPECT_EQ(updater->DriveNumber, 6);
  EXPECT_EQ(updater->DriveType, 1);
  EXPECT_EQ(updater->SizeInBytes, 0x80000u);
  // Versions and sector sizes are separate steps.
  EXPECT_EQ(updater->Version, (VersionTriple{0, 0, 0}));
  EXPECT_EQ(updater->SectorSize, 0u);

  const auto scsi = Scsi();
  ASSERT_EQ(scsi.size(), 1u);
  EXPECT_EQ(scsi[0].bytes, test::Cdb16(Hex("c0 05 14")));
  EXPECT_EQ(scsi[0].name, "in");
  EXPECT_EQ(scsi[0].length, 222u);
  EXPECT_EQ(scsi[0].timeout, 120u);
}

TEST_F(DriveTableLoad, TagsCompareAsUnsignedBytes) {
  OverrideTable(4, {RawEntry(1, 1, 0x80, 1), RawEntry(2, 1, 0x7F, 1), RawEntry(3, 1, 0x00, 1),
                    RawEntry(4, 1, 0xFE, 1)});
  ASSERT_TRUE(table.Load(services.volumes, Open()));
  EXPECT_EQ(TagsInOrder(), (std::vector<std::uint8_t>{0x00, 0x7F, 0x80, 0xFE}));
}

TEST_F(DriveTableLoad, WideSizesAreBigEndian) {
  OverrideTable(1, {Hex("05 05 a0 01 02 03 04 05 06 07 08")});
  ASSERT_TRUE(table.Load(services.volumes, Open()));
  const DriveTableEntry* e = table.FindByTag(0xA0);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->DriveNumber, 5);
  EXPECT_EQ(e->DriveType, 5);
  EXPECT_EQ(e->SizeInBytes, 0x0102030405060708ull);
}

TEST_F(DriveTableLoad, DuplicateTagFailsWithAnEmptyTable) {
  const platform::Handle h = Open();
  ASSERT_TRUE(table.Load(services.volumes, h));
  ASSERT_EQ(table.size(), 3u);
  OverrideTable(3,
                {RawEntry(0, 0, 0x0A, 100), RawEntry(2, 1, 0x50, 200), RawEntry(3, 1, 0x50, 300)});
  EXPECT_FALSE(table.Load(services.volumes, h));
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.FindByTag(0x0A), nullptr);
}

TEST_F(DriveTableLoad, TwentyEntriesLoad) {
  std::vector<std::vector<std::uint8_t>> entries;
  for (std::uint8_t i = 0; i < 20; ++i)
    entries.push_back(RawEntry(i, 1, static_cast<std::uint8_t>(0x20 + i), 4096));
  OverrideTable(20, entries);
  ASSERT_TRUE(table.Load(services.volumes, Open()));
  EXPECT_EQ(table.size(), 20u);
  ASSERT_NE(table.FindByTag(0x20 + 19), nullptr);
  EXPECT_EQ(table.FindByTag(0x20 + 19)->DriveNumber, 19);
}

TEST_F(DriveTableLoad, MoreThanTwentyEntriesFailWithAnEmptyTable) {
  std::vector<std::vector<std::uint8_t>> entries;
  for (std::uint8_t i = 0; i < 21; ++i)
    entries.push_back(RawEntry(i, 1, static_cast<std::uint8_t>(0x20 + i), 4096));
  OverrideTable(21, entries);
  const platform::Handle h = Open();
  EXPECT_FALSE(table.Load(services.volumes, h));
  EXPECT_TRUE(table.empty());
  // Only the twenty the request has room for travel.
  EXPECT_EQ(Scsi().back().length, 222u);
}

TEST_F(DriveTableLoad, AnnouncedCountBeyondTheEntriesSentFails) {
  // The device announces 300 and sends three.
  OverrideTable(300, {RawEntry(0, 0, 0x0A, 1), RawEntry(2, 1, 0x50, 1), RawEntry(6, 1, 0xFF, 1)});
  EXPECT_FALSE(table.Load(services.volumes, Open()));
  EXPECT_TRUE(table.empty());
}

TEST_F(DriveTableLoad, CountZeroLoadsAnEmptyTable) {
  const platform::Handle h = Open();
  ASSERT_TRUE(table.Load(services.volumes, h));
  ASSERT_FALSE(table.empty());
  OverrideTable(0, {RawEntry(0, 0, 0x0A, 1)});
  EXPECT_TRUE(table.Load(services.volumes, h));
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.EntryCount(), 0);
}

TEST_F(DriveTableLoad, UndeliveredTableQueryFailsWithAnEmptyTable) {
  const platform::Handle h = Open();
  ASSERT_TRUE(table.Load(services.volumes, h));
  world.faults().failScsi(0xC0, 0x05, 1);
  EXPECT_FALSE(table.Load(services.volumes, h));
  EXPECT_TRUE(table.empty());
}

TEST_F(DriveTableLoad, VersionsInTagOrder) {
  const platform::Handle h = Open();
  ASSERT_TRUE(table.Load(services.volumes, h));
  world.transcript().clear();
  EXPECT_TRUE(table.LoadVersions(services.volumes, h));
  EXPECT_EQ(table.FindByTag(0x0A)->Version, (VersionTriple{0, 1, 2}));
  EXPECT_EQ(table.FindByTag(0x50)->Version, (VersionTriple{2, 3, 14}));
  EXPECT_EQ(table.FindByTag(0xFF)->Version, (VersionTriple{6, 0, 1}));
  const auto scsi = Scsi();
  ASSERT_EQ(scsi.size(), 3u);
  EXPECT_EQ(scsi[0].bytes, test::Cdb16(Hex("c0 12 00 08")));
  EXPECT_EQ(scsi[1].bytes, test::Cdb16(Hex("c0 12 02 08")));
  EXPECT_EQ(scsi[2].bytes, test::Cdb16(Hex("c0 12 06 08")));
  for (const auto& e : scsi) {
    EXPECT_EQ(e.name, "in");
    EXPECT_EQ(e.length, 6u);
    EXPECT_EQ(e.timeout, 120u);
  }
}

TEST_F(DriveTableLoad, FailedVersionQueryKeepsTheVersionAndGoesOn) {
  const platform::Handle h = Open();
  ASSERT_TRUE(table.Load(services.volumes, h));
  world.faults().failScsi(0xC0, 0x12, 2);  // tag 0x50
  EXPECT_TRUE(table.LoadVersions(services.volumes, h));
  EXPECT_EQ(table.FindByTag(0x0A)->Version, (VersionTriple{0, 1, 2}));
  EXPECT_EQ(table.FindByTag(0x50)->Version, (VersionTriple{0, 0, 0}));
  EXPECT_EQ(table.FindByTag(0xFF)->Version, (VersionTriple{6, 0, 1}));

  // A second pass: the drive that does not answer keeps what it had.
  player.driveByTag(0x0A)->productVersion = {7, 7, 7};
  player.driveByTag(0x50)->productVersion = {8, 8, 8};
  world.faults().failScsi(0xC0, 0x12, 1);  // tag 0x0A
  EXPECT_TRUE(table.LoadVersions(services.volumes, h));
  EXPECT_EQ(table.FindByTag(0x0A)->Version, (VersionTriple{0, 1, 2}));
  EXPECT_EQ(table.FindByTag(0x50)->Version, (VersionTriple{8, 8, 8}));
}

TEST_F(DriveTableLoad, EveryVersionQueryFailingIsStillSuccess) {
  const platform::Handle h = Open();
  ASSERT_TRUE(table.Load(services.volumes, h));
  world.faults().failScsi(0xC0, 0x12, 1, 0);
  EXPECT_TRUE(table.LoadVersions(services.volumes, h));
  EXPECT_EQ(Scsi().size(), 1u + 3u);
  for (const auto& [tag, entry] : table) EXPECT_EQ(entry.Version, (VersionTriple{0, 0, 0}));
}

TEST_F(DriveTableLoad, SectorSizesInTagOrder) {
  const platform::Handle h = Open();
  ASSERT_TRUE(table.Load(services.volumes, h));
  world.transcript().clear();
  EXPECT_TRUE(table.LoadSectorSizes(services.volumes, h));
  EXPECT_EQ(table.FindByTag(0x0A)->SectorSize, 512u);
  EXPECT_EQ(table.FindByTag(0x50)->SectorSize, 4096u);
  EXPECT_EQ(table.FindByTag(0xFF)->SectorSize, 2048u);
  const auto scsi = Scsi();
  ASSERT_EQ(scsi.size(), 3u);
  EXPECT_EQ(scsi[0].bytes, test::Cdb16(Hex("c0 12 00 00")));
  EXPECT_EQ(scsi[1].bytes, test::Cdb16(Hex("c0 12 02 00")));
  EXPECT_EQ(scsi[2].bytes, test::Cdb16(Hex("c0 12 06 00")));
  for (const auto& e : scsi) EXPECT_EQ(e.length, 4u);
}

TEST_F(DriveTableLoad, FirstFailedSectorSizeQueryEndsTheStep) {
  const platform::Handle h = Open();
  ASSERT_TRUE(table.Load(services.volumes, h));
  world.transcript().clear();
  world.faults().failScsi(0xC0, 0x12, 2);  // tag 0x50
  EXPECT_FALSE(table.LoadSectorSizes(services.volumes, h));
  EXPECT_EQ(table.FindByTag(0x0A)->SectorSize, 512u);
  EXPECT_EQ(table.FindByTag(0x50)->SectorSize, 0u);
  EXPECT_EQ(table.FindByTag(0xFF)->SectorSize, 0u);
  EXPECT_EQ(Scsi().size(), 2u);  // the drive after it is not asked
  EXPECT_EQ(table.size(), 3u);
}

TEST_F(DriveTableLoad, FindByTagOfATagTheDeviceDidNotReport) {
  ASSERT_TRUE(table.Load(services.volumes, Open()));
  EXPECT_EQ(table.FindByTag(0x60), nullptr);
  EXPECT_EQ(table.FindByTag(0x00), nullptr);
  EXPECT_NE(table.FindByTag(0x50), nullptr);
}

TEST(DriveTable, InsertRefusesADuplicateTagAndKeepsTheFirst) {
  DriveTable table;
  EXPECT_TRUE(table.empty());
  EXPECT_TRUE(table.Insert({.DriveNumber = 2, .DriveTag = 0x50, .SizeInBytes = 10}));
  EXPECT_FALSE(table.Insert({.DriveNumber = 3, .DriveTag = 0x50, .SizeInBytes = 20}));
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.FindByTag(0x50)->DriveNumber, 2);
  EXPECT_EQ(table.FindByTag(0x50)->SizeInBytes, 10u);
  table.Clear();
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.FindByTag(0x50), nullptr);
}

TEST(DriveTable, TagNames) {
  const std::vector<std::pair<std::uint8_t, std::string>> expected = {
      {0x00, "DRIVE_TAG_STMPSYS_S"},
      {0x01, "DRIVE_TAG_HOSTLINK_S"},
      {0x02, "DRIVE_TAG_RESOURCE_BIN"},
      {0x03, "DRIVE_TAG_EXTRA_S"},
      {0x04, "DRIVE_TAG_RESOURCE1_BIN"},
      {0x05, "DRIVE_TAG_OTG_S"},
      {0x06, "DRIVE_TAG_HOSTRSC_BIN"},
      {0x0A, "DRIVE_TAG_DATA"},
      {0x0B, "DRIVE_TAG_DATA_HIDDEN"},
      {0x0C, "DRIVE_TAG_DATA_SETTINGS"},
      {0x12, "DRIVE_TAG_RESOURCE_BIN + 0x10"},
      {0x22, "DRIVE_TAG_RESOURCE_BIN + 0x20"},
      {0x50, "DRIVE_TAG_BOOTMANAGER_S"},
      {0x60, "DRIVE_TAG_BOOTMANAGER_S + 0x10"},
      {0x70, "DRIVE_TAG_BOOTMANAGER_S + 0x20"},
      {0xA0, "DRIVE_TAG_Bootlet_S"},
      {0xFE, "DRIVE_TAG_UPDATER_NAND_S"},
      {0xFF, "DRIVE_TAG_UPDATER_S"},
  };
  std::vector<std::pair<std::uint8_t, std::string>> actual;
  for (const auto& [tag, name] : DriveTagNames()) actual.emplace_back(tag, std::string(name));
  EXPECT_EQ(actual, expected);
}

TEST(DriveTable, TypeNames) {
  const std::vector<std::pair<std::int32_t, std::string>> expected = {
      {-1, "DriveTypeInvalid"},   {0, "DriveTypeData"},        {1, "DriveTypeSystem"},
      {2, "DriveTypeHiddenData"}, {3, "DriveTypeNonVolatile"}, {4, "DriveTypeUnknown"},
      {5, "DriveTypeLbanand"},
  };
  std::vector<std::pair<std::int32_t, std::string>> actual;
  for (const auto& [type, name] : DriveTypeNames()) actual.emplace_back(type, std::string(name));
  EXPECT_EQ(actual, expected);
}

}  // namespace
}  // namespace kx7
