// The recovery update end to end, through the Library as the host
// application calls it: the default player, its settings backed up by an
// earlier query, is plugged in with its recovery button held and rebuilt
// from the updater's firmware folder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

#include "firmware/sdisk.h"
#include "kx7fw/kx7fw.h"
#include "sim/scenario/default_scenario.h"
#include "sim/scenario/sb_file.h"
#include "support/fat_oracle.h"
#include "support/host_players.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

using sim::DefaultScenario;
using sim::EventKind;
using sim::PlayerMode;

class RecoveryUpdateTest : public SimFixture {
 protected:
  RecoveryUpdateTest() { sim::BuildDefaultScenario(world); }

  // The host looks at the player (its settings go to the host's Temp
  // folder), then the user plugs it back in with the recovery button held.
  void PutPlayerIntoRecovery() {
    DeviceInfo info{};
    ASSERT_EQ(library.GetDeviceInfo(DefaultScenario::kSerial, &info), 0);
    world.unplug(0, Now());
    world.plugInForRecovery(0, Now());
    world.transcript().clear();
  }
  int Recover() { return library.DoRecoveryUpdate("ignored", kFolder.c_str()); }
  sim::Player& Player() { return world.player(0); }
  void LetPlayerSettle() { world.sleep(10000); }
  std::uint32_t DisableAutoplay() {
    std::uint32_t value = 99;
    world.registry().dword(platform::RegistryRoot::CurrentUser, sim::reg_path::kAutoplayHandlers,
                           "DisableAutoplay", value);
    return value;
  }

  const std::string kFolder = DefaultScenario::kFirmwareFolder;
  const std::string kBackup = std::string("C:\\Temp\\") + DefaultScenario::kSerial;
  const std::vector<std::uint8_t> firmware = sim::DefaultFirmwareFile();
  const std::vector<std::uint8_t> bootlet = sim::DefaultBootletFile();
};

class RecoveryOnEachSystem : public RecoveryUpdateTest,
                             public ::testing::WithParamInterface<sim::OsPreset> {};

TEST_P(RecoveryOnEachSystem, RebuildsThePlayer) {
  world.setOs(GetParam());
  PutPlayerIntoRecovery();
  ASSERT_EQ(Recover(), 0);
  EXPECT_EQ(library.CurrentDriveLetter(), 'E');
  EXPECT_EQ(library.CurrentDevice(), nullptr);
  EXPECT_FALSE(library.Busy());

  // Every fixed wait, in order: after the download, for the updater, after
  // the lock, before the allocation, the two locks and the pause of the
  // format, the unlock tries on the handle the chip reset took, the
  // restart, after the restore.
  std::vector<std::uint64_t> sleeps;
  for (const sim::Event& e : Events(EventKind::Sleep)) sleeps.push_back(e.value);
  std::vector<std::uint64_t> expected = {5000, 10000, 5000, 2000, 5000};
  // Windows 2000 and XP reopen the volume (and lock it) before the boot sector.
  if (GetParam() == sim::OsPreset::WindowsXP) expected.push_back(5000);
  expected.insert(expected.end(), {100, 5000});
  expected.insert(expected.end(), 10, 100);
  expected.insert(expected.end(), {7000, 5000});
  EXPECT_EQ(sleeps, expected);

  // The media erased once and re-allocated around the files: the first
  // system drive leads, each firmware drive sized to the firmware (307,323
  // bytes), the bootlet's to the bootlet (12,293 bytes).
  ASSERT_EQ(Scsi({0xC1, 0x07}).size(), 1u);
  const auto allocations = Scsi({0xC1, 0x06, 0x07});
  ASSERT_EQ(allocations.size(), 1u);
  EXPECT_EQ(allocations[0].data, Hex("01 50 00 00 00 00 00 04 b0 7b"
                                     "00 0a 00 00 00 00 00 00 00 00"
                                     "02 0b 00 00 00 00 00 00 00 00"
                                     "02 0c 00 00 00 00 00 00 00 00"
                                     "01 60 00 00 00 00 00 04 b0 7b"
                                     "01 70 00 00 00 00 00 04 b0 7b"
                                     "05 a0 00 00 00 00 00 00 30 05"
                                     "00 00 00 00 00 00 00"));
  // After the allocation the drives are named by the numbers the player
  // gave them: 0x50 is drive 0, 0x0C drive 3, 0x60 and 0x70 drives 4 and 5,
  // the bootlet drive 6.
  std::set<std::uint8_t> written;
  for (const sim::Event& e : Scsi({0xC1, 0x23})) written.insert(e.bytes[2]);
  EXPECT_EQ(written, (std::set<std::uint8_t>{0, 3, 4, 5, 6}));

  LetPlayerSettle();
  ASSERT_EQ(Player().mode, PlayerMode::Normal);
  for (std::uint8_t tag : {0x50, 0x60, 0x70}) {
    const sim::SimDrive& drive = *Player().driveByTag(tag);
    EXPECT_GE(drive.sizeBytes, firmware.size());
    EXPECT_EQ(drive.media.read(0, firmware.size()), firmware) << int(tag);
    EXPECT_EQ(drive.productVersion, (sim::Triple{2, 3, 14}));
  }
  EXPECT_EQ(Player().driveByTag(0xA0)->media.read(0, bootlet.size()), bootlet);
  EXPECT_EQ(Player().driveByTag(0x0C)->media.read(0, 65536),
            std::vector<std::uint8_t>(65536, 0xFF));

  // The settings the host kept are back on the player, the diversity file
  // as the player's configuration.
  EXPECT_EQ(Player().rootFiles["PERSIST.BIN"], *world.files().file(kBackup + "\\PERSIST.BIN"));
  EXPECT_EQ(Player().rootFiles["DEVCONFIG.INI"],
            *world.files().file(kBackup + "\\DEVDIVERSITY.INI"));

  DeviceInfo info{};
  ASSERT_EQ(library.GetDeviceInfo(DefaultScenario::kSerial, &info), 0);
  EXPECT_STREQ(info.Mode, "MSC");
  EXPECT_STREQ(info.FirmwareVersion, "2.03");
  EXPECT_STREQ(info.RegionCode, "37");
  EXPECT_EQ(library.NeedRecovery(DefaultScenario::kSerial, kFolder.c_str()), 1);

  // The data drive is a volume outside tools accept.
  const auto fsck = FindTool("fsck.fat");
  if (!fsck) GTEST_SKIP() << "dosfstools is not installed";
  // Each test process has a file of its own: CTest runs them side by side.
  const std::string image = ::testing::TempDir() + "kx7fw-recovered-" +
                            std::to_string(static_cast<int>(GetParam())) + "-" +
                            std::to_string(getpid()) + ".img";
  ASSERT_TRUE(world.exportDataVolume(0, image));
  const FsckVerdict verdict = CheckWithFsck(*fsck, image);
  EXPECT_TRUE(verdict.complaints.empty()) << verdict.output;
  std::filesystem::remove(image);
}

INSTANTIATE_TEST_SUITE_P(Systems, RecoveryOnEachSystem,
                         ::testing::Values(sim::OsPreset::Windows7, sim::OsPreset::WindowsXP,
                                           sim::OsPreset::Vista),
                         OsPresetName);

// Every way the rebuild can stop, and the code the host gets for it.
struct FailureCase {
  const char* name;
  std::function<void(sim::World&)> arrange;
  int result;
};

class RecoveryFailure : public RecoveryUpdateTest,
                        public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RecoveryFailure, GivesItsCode) {
  PutPlayerIntoRecovery();
  GetParam().arrange(world);
  EXPECT_EQ(Recover(), GetParam().result);
  EXPECT_FALSE(library.Busy());
  EXPECT_EQ(DisableAutoplay(), 0u);
  EXPECT_TRUE(world.runningCookies().empty());
}

const std::string kDefaultFolder = DefaultScenario::kFirmwareFolder;

INSTANTIATE_TEST_SUITE_P(
    Codes, RecoveryFailure,
    ::testing::Values(
        FailureCase{"NoRecoveryDevice",
                    [](sim::World& w) {
                      w.unplug(0, w.clock().now());
                      w.plugIn(0, w.clock().now());
                    },
                    4},
        FailureCase{"UpdaterNeverAppears",
                    [](sim::World& w) { w.player(0).config.updaterStartDelayMs = 60000; }, 5},
        FailureCase{"UpdaterVolumeNotLocked", [](sim::World& w) { w.faults().refuseLocks(100); },
                    5},
        FailureCase{"EraseMediaNotDelivered",
                    [](sim::World& w) { w.faults().failScsi(0xC1, 0x07, 1); }, 6},
        FailureCase{"AllocationNotDelivered",
                    [](sim::World& w) { w.faults().failScsi(0xC1, 0x06, 1); }, 6},
        FailureCase{"NewDriveTableUnreadable",
                    [](sim::World& w) { w.faults().failScsi(0xC0, 0x05, 2); }, 6},
        FailureCase{"FirmwareChunkNotWritten",
                    [](sim::World& w) { w.faults().failScsi(0xC1, 0x23, 7); }, 7},
        FailureCase{"FirmwareReadsBackWrong",
                    [](sim::World& w) { w.faults().corruptDriveRead(0x60, 1000); }, 8},
        FailureCase{"SettingsDriveNotErased",
                    [](sim::World& w) { w.faults().failScsi(0xC1, 0x2F, 4); }, 9},
        FailureCase{"DataDriveNotErased", [](sim::World& w) { w.faults().failScsi(0xC1, 0x2F, 5); },
                    10},
        FailureCase{"CapacityUnknown", [](sim::World& w) { w.faults().failScsi(0x25, {}, 2); }, 10},
        FailureCase{"LayoutRefused", [](sim::World& w) { w.faults().failSetLayout(); }, 10},
        FailureCase{"MasterBootRecordReadsBackWrong",
                    [](sim::World& w) { w.faults().corruptDataDriveRead(0); }, 10},
        FailureCase{"DismountNeverSucceeds",
                    [](sim::World& w) { w.faults().refuseDismounts(1000); }, 10},
        FailureCase{"BootletNotErased", [](sim::World& w) { w.faults().failScsi(0xC1, 0x2F, 6); },
                    0},
        FailureCase{
            "BootletMissing",
            [](sim::World& w) { w.files().removeFile(kDefaultFolder + "lba_nand_bootlet.sb"); }, 6},
        FailureCase{"UpdaterMissing",
                    [](sim::World& w) { w.files().removeFile(kDefaultFolder + "updater.sb"); }, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecoveryUpdateTest, MissingBootletStopsAfterTheEraseBeforeAnyAllocation) {
  PutPlayerIntoRecovery();
  world.files().removeFile(kFolder + "lba_nand_bootlet.sb");
  EXPECT_EQ(Recover(), 6);
  EXPECT_EQ(Scsi({0xC1, 0x07}).size(), 1u);
  EXPECT_TRUE(Scsi({0xC1, 0x06}).empty());
  // The updater is kept, locked, for the host to try again.
  ASSERT_NE(library.CurrentDevice(), nullptr);
  EXPECT_TRUE(library.CurrentDevice()->VolumeLocked);
}

TEST_F(RecoveryUpdateTest, ArgumentsAndTheEmptyFolder) {
  EXPECT_EQ(library.DoRecoveryUpdate("x", ""), 13);
  EXPECT_EQ(library.DoRecoveryUpdate(nullptr, nullptr), 13);
  // The serial is not read: any value, or none, rebuilds the same player.
  PutPlayerIntoRecovery();
  EXPECT_EQ(library.DoRecoveryUpdate(nullptr, kFolder.c_str()), 0);
}

// A firmware that outgrew the player's system drives cannot be written in
// place; the rebuild sizes the drives to it.
TEST_F(RecoveryUpdateTest, FirmwareLargerThanTheOldDrivesGetsDrivesOfItsSize) {
  const auto big = sim::BuildSbFile({.productVersion = {3, 0, 1}, .size = 3 * 1024 * 1024 + 17});
  world.files().addFile(kFolder + "firmware.sb", big);
  EXPECT_EQ(library.NeedRecovery(DefaultScenario::kSerial, kFolder.c_str()), 0);
  PutPlayerIntoRecovery();
  ASSERT_EQ(Recover(), 0);
  LetPlayerSettle();
  for (std::uint8_t tag : {0x50, 0x60, 0x70}) {
    EXPECT_GE(Player().driveByTag(tag)->sizeBytes, big.size());
    EXPECT_EQ(Player().driveByTag(tag)->media.read(0, big.size()), big);
  }
  EXPECT_EQ(library.NeedRecovery(DefaultScenario::kSerial, kFolder.c_str()), 1);
}

// A data drive smaller than one cylinder of 255 x 63 sectors (the system
// reports no whole cylinder for it), of a size where one sector less would
// be planned on another geometry: the drive holds the plan for its whole
// capacity (READ CAPACITY's last block + 1), and the system mounts that
// partition.
TEST_F(RecoveryUpdateTest, ADataDriveBelowOneCylinderHoldsThePlanForItsSize) {
  Player().config.mediaBytes = 10ull << 20;
  PutPlayerIntoRecovery();
  ASSERT_EQ(Recover(), 0);
  LetPlayerSettle();
  const sim::SimDrive& data = *Player().dataDrive();
  const auto sectors = static_cast<std::uint32_t>(data.sizeBytes / data.sectorSize);
  ASSERT_LT(sectors, 255u * 63u);
  CStSDisk plan, oneLess;
  ASSERT_TRUE(plan.Plan(sectors, data.sectorSize, ""));
  ASSERT_TRUE(oneLess.Plan(sectors - 1, data.sectorSize, ""));
  ASSERT_NE(plan.Mbr, oneLess.Mbr);
  ASSERT_NE(plan.BootSector, oneLess.BootSector);

  const auto at = [&](std::uint64_t sector) {
    std::vector<std::uint8_t> bytes = data.media.read(sector * data.sectorSize, 512);
    SectorBlock block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
  };
  EXPECT_EQ(at(0), plan.Mbr);
  EXPECT_EQ(at(plan.HiddenSectors()), plan.BootSector);
  ASSERT_TRUE(Player().partition);
  EXPECT_EQ(Player().partition->offset, std::uint64_t{plan.HiddenSectors()} * data.sectorSize);
  EXPECT_EQ(Player().partition->length, std::uint64_t{plan.VolumeSectors()} * data.sectorSize);
  EXPECT_EQ(Player().fileSystemName(), "FAT");
  // The settings came back through the new file system.
  EXPECT_EQ(Player().rootFiles["PERSIST.BIN"], *world.files().file(kBackup + "\\PERSIST.BIN"));

  const auto fsck = FindTool("fsck.fat");
  if (!fsck) GTEST_SKIP() << "dosfstools is not installed";
  const std::string image =
      ::testing::TempDir() + "kx7fw-small-recovered-" + std::to_string(getpid()) + ".img";
  ASSERT_TRUE(world.exportDataVolume(0, image));
  const FsckVerdict verdict = CheckWithFsck(*fsck, image);
  std::filesystem::remove(image);
  EXPECT_TRUE(verdict.exitCode == 0 || verdict.exitCode == 1) << verdict.output;
  EXPECT_TRUE(verdict.complaints.empty()) << verdict.output;
}

TEST_F(RecoveryUpdateTest, WithoutABackupNothingIsRestored) {
  world.unplug(0, Now());
  world.plugInForRecovery(0, Now());
  ASSERT_EQ(Recover(), 0);
  LetPlayerSettle();
  EXPECT_TRUE(Player().rootFiles.empty());
  EXPECT_TRUE(Events(EventKind::FileCopy).empty());
}

}  // namespace
}  // namespace kx7::test
