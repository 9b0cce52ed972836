// Raw sector access and the formatting of the data drive, on the updater's
// session as the recovery update holds it, judged by the bytes on the drive,
// the traffic and the outside FAT tools.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "device/device_session.h"
#include "media/data_drive_format.h"
#include "media/raw_sectors.h"
#include "sim/scenario/sb_file.h"
#include "support/fat_oracle.h"
#include "support/host_players.h"
#include "support/sim_fixture.h"
#include "util/byte_order.h"

namespace kx7::test {
namespace {

using sim::EventKind;

// An updater at E: whose data drive holds `sectors` sectors of `bps` bytes
// and no file system, and a session on it holding the volume lock, as the
// recovery update has it when it formats.
class FormatTest : public SimFixture {
 protected:
  void Attach(std::uint32_t sectors, std::uint32_t bps,
              sim::OsPreset os = sim::OsPreset::Windows7) {
    world.setOs(os);
    sim::PlayerConfig config;
    config.initialMode = sim::PlayerMode::Updater;
    sim::Player& player = world.addPlayer(config);
    player.drives = sim::FactoryDrives(sim::BuildSbFile({}), {1, 0, 0}, {1, 0, 0});
    sim::SimDrive& data = *player.dataDrive();
    data.sizeBytes = std::uint64_t{sectors} * bps;
    data.sectorSize = bps;
    data.media = sim::SparseMedia(data.sizeBytes, 0);
    player.dropFileSystem();
    ASSERT_TRUE(session.OpenByDriveLetter('E'));
    ASSERT_TRUE(session.LockVolume());
    writer = {&session, bps};
    world.transcript().clear();
  }
  bool Format(std::uint32_t sectors, std::uint32_t bps, std::string_view label = "") {
    return FormatDataDrive(writer, bps, label, sectors);
  }
  sim::Player& Player() { return world.player(0); }
  std::vector<std::uint8_t> DiskBytes(std::uint64_t offset, std::size_t length) {
    return Player().dataDrive()->media.read(offset, length);
  }
  std::vector<sim::Event> Writes() { return Events(EventKind::Write); }

  DeviceSession session{world.services()};
  SectorWriter writer;
};

TEST_F(FormatTest, ZeroFillsGoInChunksOfAtMost64KiB) {
  struct Case {
    std::uint32_t bps, count;
    std::vector<std::uint32_t> writes;
  };
  const Case cases[] = {
      {512, 300, {65536, 65536, 22528}},
      {2048, 70, {65536, 65536, 12288}},
      {512, 0, {}},
  };
  Attach(1u << 16, 512);
  for (const Case& c : cases) {
    world.transcript().clear();
    writer.SectorSize = c.bps;
    std::uint32_t sector = 5;
    ASSERT_TRUE(WriteZeroSectors(writer, c.count, sector));
    EXPECT_EQ(sector, 5 + c.count);
    std::vector<std::uint32_t> lengths;
    for (const sim::Event& e : Writes()) lengths.push_back(e.length);
    EXPECT_EQ(lengths, c.writes);
    // Every write is read back.
    EXPECT_EQ(Events(EventKind::Read).size(), c.writes.size());
  }
}

TEST_F(FormatTest, OneSectorIsTheBlockPaddedWithZeros) {
  Attach(1u << 14, 2048);
  Player().dataDrive()->media.write(2048, std::vector<std::uint8_t>(2048, 0x77));
  std::array<std::uint8_t, 512> block;
  block.fill(0xA5);
  std::uint32_t sector = 1;
  ASSERT_TRUE(WriteSector(writer, block, sector));
  EXPECT_EQ(sector, 2u);
  std::vector<std::uint8_t> expected(2048, 0);
  std::fill_n(expected.begin(), 512, 0xA5);
  EXPECT_EQ(DiskBytes(2048, 2048), expected);
}

TEST_F(FormatTest, ReadBackThatDiffersFailsAndKeepsThePosition) {
  Attach(1u << 16, 512);
  world.faults().corruptDataDriveRead(10 * 512 + 7);
  std::uint32_t sector = 8;
  EXPECT_FALSE(WriteZeroSectors(writer, 4, sector));
  EXPECT_EQ(sector, 8u);
  std::array<std::uint8_t, 512> block{};
  sector = 10;
  EXPECT_FALSE(WriteSector(writer, block, sector));
  EXPECT_EQ(sector, 10u);
}

TEST_F(FormatTest, DismountThatNeverWorksGivesUpAfterTenTries) {
  Attach(1u << 16, 512);
  world.faults().refuseDismounts(1000);
  const std::uint64_t start = Now();
  EXPECT_FALSE(DismountVolume(world.services(), session.VolumeHandle));
  EXPECT_EQ(Events(EventKind::Dismount).size(), 10u);
  EXPECT_EQ(Now() - start, 1000u);
  world.faults().refuseDismounts(3);
  EXPECT_TRUE(DismountVolume(world.services(), session.VolumeHandle));
}

TEST(SinglePartitionLayout, HoldsExactlyThePlannedPartition) {
  // 8 cylinders of 255 heads and 63 sectors; the partition from sector 63,
  // 130000 sectors long, into the part cylinder the geometry leaves out.
  const platform::DiskGeometry geometry{8, 11, 255, 63, 512};
  const DriveLayout layout = BuildSinglePartitionLayout(geometry, 63, 130000);
  std::vector<std::uint8_t> expected(136, 0);
  const std::vector<std::uint8_t> head =
      Hex("04 00 00 00  00 00 00 00"                          // 4 entries, no signature
          "00 7e 00 00 00 00 00 00  00 a0 f7 03 00 00 00 00"  // 63 x 512, 130000 x 512
          "3f 00 00 00  01 00 00 00  06 00 01 01 00 00 00 00"
          "00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00"
          "00 00 00 00  02 00 00 00  00 00 00 01 00 00 00 00");
  std::copy(head.begin(), head.end(), expected.begin());
  expected[72 + 20] = 3;
  expected[72 + 27] = 1;
  expected[104 + 20] = 4;
  expected[104 + 27] = 1;
  EXPECT_EQ(std::vector<std::uint8_t>(layout.begin(), layout.end()), expected);
}

TEST(SinglePartitionLayout, TheReportedGeometryMustBeOfThePlannedDisk) {
  struct Case {
    const char* name;
    platform::DiskGeometry geometry;
    std::uint32_t sectorSize, first, count;
    bool holds;
  };
  const Case cases[] = {
      {"below one cylinder", {0, 11, 255, 63, 512}, 512, 63, 12000 - 63, true},
      {"to the end of the part cylinder", {2, 11, 255, 63, 512}, 512, 63, 3 * 16065 - 63, true},
      {"a sector past it", {2, 11, 255, 63, 512}, 512, 63, 3 * 16065 - 62, false},
      {"other sectors than planned", {2, 11, 255, 63, 2048}, 512, 63, 20000, false},
      {"no tracks", {2, 11, 0, 63, 512}, 512, 63, 20000, false},
      {"an empty partition", {2, 11, 255, 63, 512}, 512, 63, 0, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GeometryHoldsPartition(c.geometry, c.sectorSize, c.first, c.count), c.holds)
        << c.name;
}

// The whole sequence on the wire: unlock the volume, reopen the disk, lay out
// the partition, the sectors outside it, then the file system through the
// volume, and a dismount.
TEST_F(FormatTest, LaysThePartitionThroughTheDiskAndTheFileSystemThroughTheVolume) {
  const std::uint32_t sectors = 131071;  // leaves a sector after the geometry
  Attach(sectors, 512);
  CStSDisk disk;
  ASSERT_TRUE(disk.Plan(sectors, 512, ""));
  ASSERT_GT(disk.Geometry.Leftover, 0u);
  ASSERT_TRUE(Format(sectors, 512));

  std::vector<std::string> calls;
  for (const sim::Event& e : world.transcript().events()) {
    switch (e.kind) {
      case EventKind::Unlock:
        calls.push_back("unlock " + e.target);
        break;
      case EventKind::Lock:
        calls.push_back("lock " + e.target);
        break;
      case EventKind::Geometry:
      case EventKind::DeleteLayout:
      case EventKind::SetLayout:
      case EventKind::Dismount:
        calls.push_back(std::string(sim::ToString(e.kind)) + " " + e.target);
        break;
      case EventKind::Write:
        if (calls.empty() || calls.back().rfind("write " + e.target, 0) != 0)
          calls.push_back("write " + e.target + " @" + std::to_string(e.value));
        break;
      default:
        break;
    }
  }
  const std::uint32_t hidden = disk.HiddenSectors();
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "unlock \\\\.\\E:",
                       "lock \\\\.\\PhysicalDrive1",
                       "geometry \\\\.\\PhysicalDrive1",
                       "delete-layout \\\\.\\PhysicalDrive1",
                       "set-layout \\\\.\\PhysicalDrive1",
                       "write \\\\.\\PhysicalDrive1 @0",
                       "unlock \\\\.\\PhysicalDrive1",
                       "lock \\\\.\\E:",
                       "write \\\\.\\E: @512",
                       "dismount \\\\.\\E:",
                   }));
  // Through the disk: the MBR, the hidden sectors, the leftover after the
  // partition, the boot sector at the partition's start.
  EXPECT_EQ(DiskBytes(0, 512), std::vector<std::uint8_t>(disk.Mbr.begin(), disk.Mbr.end()));
  EXPECT_EQ(DiskBytes(std::uint64_t{hidden} * 512, 512),
            std::vector<std::uint8_t>(disk.BootSector.begin(), disk.BootSector.end()));
  std::vector<std::uint64_t> diskWrites;
  for (const sim::Event& e : Writes())
    if (e.target == "\\\\.\\PhysicalDrive1") diskWrites.push_back(e.value / 512);
  EXPECT_EQ(diskWrites, (std::vector<std::uint64_t>{0, 1, disk.Geometry.Capacity, hidden}));
  // The partition the system now mounts starts at the hidden sectors.
  ASSERT_TRUE(Player().partition);
  EXPECT_EQ(Player().partition->offset, std::uint64_t{hidden} * 512);
  EXPECT_EQ(Player().fileSystemName(), "FAT");
}

TEST_F(FormatTest, WindowsXpWritesTheBootSectorThroughTheVolume) {
  const std::uint32_t sectors = 131071;
  Attach(sectors, 512, sim::OsPreset::WindowsXP);
  ASSERT_TRUE(Format(sectors, 512));
  std::vector<std::string> writes;
  for (const sim::Event& e : Writes()) writes.push_back(e.target + " @" + std::to_string(e.value));
  ASSERT_GE(writes.size(), 5u);
  EXPECT_EQ(writes[3], "\\\\.\\E: @0");  // the boot sector, at the volume's start
  EXPECT_EQ(writes[4], "\\\\.\\E: @512");
  CStSDisk disk;
  ASSERT_TRUE(disk.Plan(sectors, 512, ""));
  EXPECT_EQ(DiskBytes(std::uint64_t{disk.HiddenSectors()} * 512, 512),
            std::vector<std::uint8_t>(disk.BootSector.begin(), disk.BootSector.end()));
}

TEST_F(FormatTest, LabelsAreZeroPaddedAndCutToElevenCharacters) {
  struct Case {
    const char* label;
    const char* entry;  // the first 12 bytes of the root directory
  };
  const Case cases[] = {
      {"", "00 00 00 00 00 00 00 00 00 00 00 08"},
      {"MIRL", "4d 49 52 4c 00 00 00 00 00 00 00 08"},
      {"ELEVENCHARS", "45 4c 45 56 45 4e 43 48 41 52 53 08"},
      {"TWELVE CHARS", "54 57 45 4c 56 45 20 43 48 41 52 08"},
  };
  Attach(131072, 512);
  CStSDisk disk;
  ASSERT_TRUE(disk.Plan(131072, 512, ""));
  const std::uint64_t root =
      (disk.HiddenSectors() + disk.ReservedSectors() + 2ull * disk.FatSectors()) * 512;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(Format(131072, 512, c.label));
    EXPECT_EQ(DiskBytes(root, 12), Hex(c.entry));
    EXPECT_EQ(DiskBytes(root + 12, 32 - 12), std::vector<std::uint8_t>(20, 0));
  }
}

TEST_F(FormatTest, EveryFailingStepEndsTheFormat) {
  struct Case {
    const char* name;
    std::function<void(sim::World&)> fault;
  };
  const Case cases[] = {
      {"unlock refused", [](sim::World& w) { w.faults().refuseUnlocks(100); }},
      {"disk lock refused", [](sim::World& w) { w.faults().refuseLocks(100); }},
      {"geometry", [](sim::World& w) { w.faults().failGeometry(); }},
      {"layout", [](sim::World& w) { w.faults().failSetLayout(); }},
      {"boot sector read back",
       [](sim::World& w) { w.faults().corruptDataDriveRead(32 * 512 + 3); }},
      {"FAT read back", [](sim::World& w) { w.faults().corruptDataDriveRead(33 * 512 + 100); }},
      {"dismount", [](sim::World& w) { w.faults().refuseDismounts(100); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::World local;
    DeviceSession localSession(local.services());
    sim::PlayerConfig config;
    config.initialMode = sim::PlayerMode::Updater;
    sim::Player& player = local.addPlayer(config);
    player.drives = sim::FactoryDrives(sim::BuildSbFile({}), {1, 0, 0}, {1, 0, 0});
    player.dropFileSystem();
    ASSERT_TRUE(localSession.OpenByDriveLetter('E'));
    ASSERT_TRUE(localSession.LockVolume());
    c.fault(local);
    SectorWriter localWriter{&localSession, 512};
    EXPECT_FALSE(FormatDataDrive(localWriter, 512, "", 131072));
  }
}

// A geometry of other sectors than the plan's is not of the disk planned:
// the format stops before the layout, with nothing written.
TEST_F(FormatTest, AGeometryOfAnotherDiskStopsTheFormatBeforeTheLayout) {
  Attach(65536, 2048);
  EXPECT_FALSE(Format(4 * 65536, 512));
  EXPECT_EQ(Events(EventKind::Geometry).size(), 1u);
  EXPECT_TRUE(Events(EventKind::SetLayout).empty());
  EXPECT_TRUE(Writes().empty());
}

// As on Windows: a layout without a partition leaves the letter without a
// volume; a partition past the disk's end is refused; a deleted layout
// makes the disk one volume again.
TEST_F(FormatTest, TheHostOffersNoVolumeWhereTheLayoutHoldsNoPartition) {
  Attach(20000, 512);
  DeviceSession disk(world.services());
  ASSERT_TRUE(session.UnlockVolume());
  session.Close();
  ASSERT_TRUE(disk.OpenUpdaterByPhysicalDrive());
  const platform::DiskGeometry geometry{1, 11, 255, 63, 512};
  EXPECT_FALSE(WriteSinglePartitionLayout(disk.Io(), disk.VolumeHandle, geometry, 63, 20000));
  ASSERT_TRUE(WriteSinglePartitionLayout(disk.Io(), disk.VolumeHandle, geometry, 63, 0));
  EXPECT_FALSE(session.OpenByDriveLetter('E'));
  EXPECT_TRUE(disk.Io().deleteDriveLayout(disk.VolumeHandle));
  EXPECT_TRUE(session.OpenByDriveLetter('E'));
}

TEST_F(FormatTest, AnotherDeviceAtTheLetterIsNotWritten) {
  const std::uint32_t sectors = 131072;
  Attach(sectors, 512);
  // Once the disk's part is written, the updater leaves and a player in
  // normal mode takes its letter.
  test::AddNormalPlayer(world, "0000KX7TSECOND01", 'F');
  sim::Player& other = world.player(1);
  const auto before = other.dataDrive()->media.read(0, 1 << 20);
  world.transcript().setListener([&](const sim::Event& e) {
    if (e.kind != EventKind::Unlock || e.target != "\\\\.\\PhysicalDrive1") return;
    world.unplug(0, Now());
    other.config.letter = 'E';
    world.unplug(1, Now());
    world.plugIn(1, Now());
  });
  EXPECT_FALSE(Format(sectors, 512));
  world.transcript().setListener(nullptr);
  EXPECT_EQ(other.dataDrive()->media.read(0, 1 << 20), before);
  for (const sim::Event& e : Writes()) EXPECT_NE(e.target, "\\\\.\\E:");
}

// Drives at the geometry and FAT type boundaries, formatted and handed to
// fsck.fat and mtools.
struct OracleCase {
  std::string name;
  std::uint32_t sectors;
  std::uint32_t bps;
  const char* diskType;  // what mtools reads from the boot sector
  const char* label = "";
};

class FormatOracle : public FormatTest, public ::testing::WithParamInterface<OracleCase> {};

TEST_P(FormatOracle, FsckAndMtoolsAcceptTheVolume) {
  const OracleCase& c = GetParam();
  const auto fsck = FindTool("fsck.fat");
  const auto minfo = FindTool("minfo");
  const auto mdir = FindTool("mdir");
  if (!fsck || !minfo || !mdir) GTEST_SKIP() << "dosfstools and mtools are not installed";

  Attach(c.sectors, c.bps);
  ASSERT_TRUE(Format(c.sectors, c.bps, c.label));
  CStSDisk disk;
  ASSERT_TRUE(disk.Plan(c.sectors, c.bps, ""));

  // The system mounts exactly the partition the master boot record holds.
  ASSERT_TRUE(Player().partition);
  EXPECT_EQ(Player().partition->offset, std::uint64_t{disk.HiddenSectors()} * c.bps);
  EXPECT_EQ(Player().partition->length, std::uint64_t{disk.VolumeSectors()} * c.bps);
  // Each FAT copy starts with the media and end-of-chain entries of its
  // type (the outside tools let some of these bits pass).
  const std::vector<std::uint8_t> fatHead =
      disk.FatType == CStSDisk::Fat32 ? Hex("f8 ff ff 0f ff ff ff 0f ff ff ff 0f 00 00 00 00")
                                      : Hex("f8 ff ff ff 00 00 00 00");
  for (std::uint32_t copy = 0; copy < 2; ++copy) {
    const std::uint64_t fat =
        disk.HiddenSectors() + disk.ReservedSectors() + std::uint64_t{copy} * disk.FatSectors();
    EXPECT_EQ(DiskBytes(fat * c.bps, fatHead.size()), fatHead) << "FAT " << copy + 1;
  }

  const std::string folder =
      ::testing::TempDir() + "kx7fw-format-" + c.name + "-" + std::to_string(getpid());
  std::filesystem::create_directories(folder);
  const std::string diskImage = folder + "/disk.img";
  const std::string volumeImage = folder + "/volume.img";
  ASSERT_TRUE(world.exportDataDrive(0, diskImage));
  ASSERT_TRUE(world.exportDataVolume(0, volumeImage));

  const FsckVerdict verdict = CheckWithFsck(*fsck, volumeImage);
  EXPECT_TRUE(verdict.exitCode == 0 || verdict.exitCode == 1) << verdict.output;
  EXPECT_TRUE(verdict.complaints.empty()) << verdict.output;

  // The sectors after the partition are zeroed where they are, even past
  // 4 GiB.
  if (disk.Geometry.Leftover > 0) {
    const std::uint64_t end = std::uint64_t{disk.Geometry.Capacity} * c.bps;
    const auto writes = Writes();
    EXPECT_TRUE(std::any_of(writes.begin(), writes.end(), [&](const sim::Event& e) {
      return e.target == "\\\\.\\PhysicalDrive1" && e.value == end;
    }));
  }
  // The partition table agrees with the boot sector.
  const auto mbr = DiskBytes(0, 512);
  const std::uint32_t start = GetLe32(&mbr[454]);
  EXPECT_EQ(start, GetLe32(&disk.BootSector[28]));
  EXPECT_EQ(GetLe32(&mbr[458]), disk.VolumeSectors());
  EXPECT_EQ(mbr[450], disk.FatType == CStSDisk::Fat32 ? 0x0B : 0x06);

  const std::string at =
      "'" + diskImage + "@@" + std::to_string(std::uint64_t{start} * c.bps) + "'";
  const ToolRun info = RunTool("'" + *minfo + "' -i " + at + " ::");
  EXPECT_EQ(info.exitCode, 0) << info.output;
  EXPECT_EQ(MinfoField(info.output, "sector size"), std::to_string(c.bps) + " bytes");
  EXPECT_EQ(MinfoField(info.output, "disk type"), std::string("\"") + c.diskType + "\"");
  const ToolRun dir = RunTool("'" + *mdir + "' -i " + at + " ::");
  EXPECT_EQ(dir.exitCode, 0) << dir.output;
  EXPECT_NE(dir.output.find("No files"), std::string::npos) << dir.output;

  std::filesystem::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FormatOracle,
    ::testing::Values(OracleCase{"Fat16Of64MiB", 131072, 512, "FAT16   "},
                      OracleCase{"Fat16WithALabel", 131072, 512, "FAT16   ", "KX7TMB"},
                      OracleCase{"Fat16Of1GiB", 2097152, 512, "FAT16   "},
                      OracleCase{"Fat16At2GiB", 4194304, 512, "FAT32   "},
                      OracleCase{"Fat32Above2GiB", 4194305, 512, "FAT32   "},
                      OracleCase{"Fat32Of4GiB", 8388608, 512, "FAT32   "},
                      OracleCase{"BelowFixedGeometry", 16515071, 512, "FAT32   "},
                      OracleCase{"FixedGeometry", 16515072, 512, "FAT32   "},
                      OracleCase{"AboveFixedGeometry", 16515073, 512, "FAT32   "},
                      OracleCase{"Fat16Of2048ByteSectors", 262144, 2048, "FAT16   "},
                      OracleCase{"Fat16At2GiBOf2048ByteSectors", 1048576, 2048, "FAT16   "},
                      OracleCase{"Fat32Of2048ByteSectors", 2097152, 2048, "FAT32   "}),
    [](const auto& info) { return info.param.name; });

// Every sector size the planner takes, on drives just below, at and just
// above one cylinder of 255 x 63 sectors (the geometry the system reports
// for the smaller ones has no whole cylinder), and well below it.
std::vector<OracleCase> AroundOneCylinder() {
  std::vector<OracleCase> cases;
  for (std::uint32_t bps : {512u, 1024u, 2048u, 4096u})
    for (std::uint32_t sectors : {8000u, 16064u, 16065u, 16066u})
      cases.push_back(
          {std::to_string(sectors) + "Of" + std::to_string(bps), sectors, bps, "FAT16   "});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(OneCylinder, FormatOracle, ::testing::ValuesIn(AroundOneCylinder()),
                         [](const auto& info) { return info.param.name; });

// Sector sizes FAT does not define are refused before anything is written.
TEST_F(FormatTest, SectorsLargerThan4096BytesAreRefused) {
  Attach(16066, 8192);
  for (std::uint32_t bps : {8192u, 16384u, 32768u}) EXPECT_FALSE(Format(16066, bps)) << bps;
  EXPECT_TRUE(Writes().empty());
  EXPECT_TRUE(Events(EventKind::SetLayout).empty());
}

}  // namespace
}  // namespace kx7::test
