// What the host shows before an update: GetDeviceInfo on a player in ROM
// recovery mode or in mass-storage mode, and GetLocalVersion on the firmware
// folder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kx7fw/kx7fw.h"
#include "sim/scenario/default_scenario.h"
#include "sim/scenario/sb_file.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

using sim::DefaultScenario;
using sim::PlayerMode;

class DeviceInfoTest : public SimFixture {
 protected:
  DeviceInfoTest() { sim::BuildDefaultScenario(world); }
  sim::Player& Player() { return world.player(0); }
  int Info(const char* serial) {
    std::memset(&info, 0xAA, sizeof info);
    return library.GetDeviceInfo(serial, &info);
  }
  bool AllZero() const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
    return std::all_of(bytes, bytes + sizeof info, [](unsigned char b) { return b == 0; });
  }
  DeviceInfo info{};
};

TEST_F(DeviceInfoTest, PlayerInMassStorageMode) {
  Player().driveByTag(0x50)->productVersion = {2, 3, 0};
  ASSERT_EQ(Info(DefaultScenario::kSerial), 0);
  EXPECT_STREQ(info.Mode, "MSC");
  EXPECT_STREQ(info.ModelCode, "KX7TMB");
  EXPECT_STREQ(info.Reserved1, "0");
  EXPECT_STREQ(info.DisplayName, "Korvane Tessio Mirl");
  EXPECT_STREQ(info.RegionCode, "37");
  EXPECT_STREQ(info.Serial, DefaultScenario::kSerial);
  EXPECT_STREQ(info.DriveLetterText, "E");
  EXPECT_STREQ(info.FirmwareVersion, "2.03");
  EXPECT_STREQ(info.FullModelCode, "KX7TMB09VD/52");
  EXPECT_EQ(info.Reserved2, 0);
  EXPECT_EQ(library.CurrentDriveLetter(), 'E');
  // The query leaves the player's settings backed up on the host.
  const std::string backup = std::string("C:\\Temp\\") + DefaultScenario::kSerial;
  ASSERT_NE(world.files().file(backup + "\\PERSIST.BIN"), nullptr);
  EXPECT_EQ(*world.files().file(backup + "\\PERSIST.BIN"), Player().rootFiles["PERSIST.BIN"]);
  EXPECT_TRUE(world.files().hasFile(backup + "\\DEVDIVERSITY.INI"));
  // And the device list now reports that letter.
  char list[26];
  EXPECT_EQ(library.MSCDeviceList(list), 1);
  EXPECT_STREQ(list, "E");
}

TEST_F(DeviceInfoTest, RecoveryModeAnswersWhateverTheSerial) {
  Player().mode = PlayerMode::Unplugged;
  sim::PlayerConfig rom;
  rom.serial = "0000KX7T00000002";
  rom.initialMode = PlayerMode::RomRecovery;
  world.addPlayer(rom);
  for (const char* serial : {"", DefaultScenario::kSerial}) {
    ASSERT_EQ(Info(serial), 0) << serial;
    EXPECT_STREQ(info.Mode, "REC");
    EXPECT_STREQ(info.ModelCode, "KX7TMB");
    EXPECT_STREQ(info.Reserved1, "0");
    EXPECT_STREQ(info.DisplayName, "Korvane Tessio Mirl");
    EXPECT_STREQ(info.RegionCode, "0");
    EXPECT_STREQ(info.Serial, "0");
    EXPECT_STREQ(info.DriveLetterText, "0");
    EXPECT_STREQ(info.FirmwareVersion, "0");
    EXPECT_STREQ(info.FullModelCode, "KX7TMB09VD/52");
    EXPECT_EQ(info.Reserved2, 0);
    // Fields are cleared before they are written.
    EXPECT_EQ(info.Mode[3], 0);
    EXPECT_EQ(info.ModelCode[255], 0);
  }
  EXPECT_EQ(library.CurrentDriveLetter(), 0);
  EXPECT_EQ(world.openHandleCount(), 0u);
}

TEST_F(DeviceInfoTest, EmptySerialWithoutRecoveryDeviceGivesFiveAndAZeroRecord) {
  EXPECT_EQ(Info(""), 5);
  EXPECT_TRUE(AllZero());
  EXPECT_EQ(Info(nullptr), 5);
  EXPECT_TRUE(AllZero());
}

TEST_F(DeviceInfoTest, PlayerAtAnotherLetterGivesFive) {
  EXPECT_EQ(Info("0000KX7TFFFFFFFF"), 5);
  EXPECT_STREQ(info.DriveLetterText, "");
  EXPECT_EQ(library.CurrentDriveLetter(), 0);
}

TEST_F(DeviceInfoTest, NoPlayerAnywhereGivesOne) {
  world.unplug(0, Now());
  EXPECT_EQ(Info(DefaultScenario::kSerial), 1);
  // The registry still remembers E: for the serial.
  EXPECT_EQ(library.CurrentDriveLetter(), 'E');
}

TEST_F(DeviceInfoTest, PlayerWithoutFirmwareDriveShowsNoVersion) {
  auto& drives = Player().drives;
  drives.erase(std::remove_if(drives.begin(), drives.end(),
                              [](const sim::SimDrive& d) { return d.tag == 0x50; }),
               drives.end());
  ASSERT_EQ(Info(DefaultScenario::kSerial), 0);
  EXPECT_STREQ(info.Mode, "MSC");
  EXPECT_STREQ(info.FirmwareVersion, "");
}

TEST_F(DeviceInfoTest, OverlongSerialIsCutToTheField) {
  sim::PlayerConfig config;
  config.serial = std::string(40, '7');
  config.letter = 'G';
  world.addPlayer(config);
  const std::string serial = config.serial + std::string(300, 'Q');
  ASSERT_EQ(Info(serial.c_str()), 0);
  EXPECT_STREQ(info.DriveLetterText, "G");
  EXPECT_EQ(std::string(info.Serial), serial.substr(0, 255));
}

struct RegionCase {
  std::uint8_t byte;
  const char* text;
};

class RegionTest : public SimFixture, public ::testing::WithParamInterface<RegionCase> {};

TEST_P(RegionTest, RegionByteBecomesItsText) {
  sim::BuildDefaultScenario(world);
  world.player(0).rootFiles["PERSIST.BIN"] = {0x4B, 0x58, GetParam().byte, 0x00};
  DeviceInfo info{};
  ASSERT_EQ(library.GetDeviceInfo(DefaultScenario::kSerial, &info), 0);
  EXPECT_STREQ(info.RegionCode, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Regions, RegionTest,
                         ::testing::Values(RegionCase{2, "02"}, RegionCase{0x25, "37"},
                                           RegionCase{55, "55"}, RegionCase{93, "93"},
                                           RegionCase{97, "97"}, RegionCase{0, "0"},
                                           RegionCase{36, "0"}, RegionCase{0x80, "0"},
                                           RegionCase{0xE1, "0"}));

class LocalVersionTest : public SimFixture {
 protected:
  LocalVersionTest() { sim::BuildDefaultScenario(world); }
  const char* kFolder = DefaultScenario::kFirmwareFolder;
};

TEST_F(LocalVersionTest, ReportsTheFirmwareFilesVersion) {
  char out[16];
  ASSERT_EQ(library.GetLocalVersion(kFolder, out, sizeof out), 0);
  EXPECT_STREQ(out, "2.03");
  world.files().addFile("C:\\fw\\firmware.sb", sim::BuildSbFile({.productVersion = {12, 34, 0}}));
  ASSERT_EQ(library.GetLocalVersion("C:\\fw\\", out, sizeof out), 0);
  EXPECT_STREQ(out, "12.34");
}

TEST_F(LocalVersionTest, NullOutputStillSetsThePaths) {
  EXPECT_EQ(library.GetLocalVersion("C:\\elsewhere\\", nullptr, 16), 1);
  for (std::size_t row = 3; row <= 5; ++row)
    EXPECT_EQ(library.Images()[row].FilePath, "C:\\elsewhere\\firmware.sb");
  // The updater and bootlet rows keep what they had.
  EXPECT_NE(library.Images()[6].FilePath.find("XXXX"), std::string::npos);
}

TEST_F(LocalVersionTest, MissingOrInvalidFileGivesTwo) {
  char out[16] = "untouched";
  EXPECT_EQ(library.GetLocalVersion("C:\\empty\\", out, sizeof out), 2);
  world.files().addFile("C:\\bad\\firmware.sb", std::vector<std::uint8_t>(95, 0));
  EXPECT_EQ(library.GetLocalVersion("C:\\bad\\", out, sizeof out), 2);
  EXPECT_STREQ(out, "untouched");
}

TEST_F(LocalVersionTest, BufferTooSmallGetsNothingOfTheText) {
  char out[8];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(library.GetLocalVersion(kFolder, out, 4), 1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], 'x');
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(library.GetLocalVersion(kFolder, out, 0), 1);
  EXPECT_EQ(library.GetLocalVersion(kFolder, out, -5), 1);
  EXPECT_EQ(out[0], 'x');
  EXPECT_EQ(library.GetLocalVersion(kFolder, out, 5), 0);
  EXPECT_STREQ(out, "2.03");
}

}  // namespace
}  // namespace kx7::test
