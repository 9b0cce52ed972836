// The kx7sim_ functions of the kx7fw-sim shared library, as a host
// application's test suite uses them next to the twelve exports.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kx7fw/kx7fw.h"
#include "kx7fw/kx7sim.h"

namespace {

namespace fs = std::filesystem;

const std::string kScenarios = KX7FW_SCENARIO_DIR;
const std::string kExample = std::string(KX7FW_EXAMPLE_FIRMWARE_DIR) + "/example/";

std::string Text(int (*get)(char*, int)) {
  std::string text(static_cast<std::size_t>(get(nullptr, 0)), '\0');
  get(text.data(), static_cast<int>(text.size()));
  text.pop_back();
  return text;
}

std::vector<std::uint8_t> ReadReal(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> ReadReal(const fs::path& path, std::uint64_t offset, std::size_t length) {
  std::vector<std::uint8_t> out(length);
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(length));
  out.resize(static_cast<std::size_t>(in.gcount()));
  return out;
}

class SimLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kx7sim_reset(), 0);
    temp =
        fs::temp_directory_path() /
        (std::string("kx7sim-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(temp);
    fs::create_directories(temp);
  }
  void TearDown() override {
    kx7sim_set_real_time(0);
    fs::remove_all(temp);
  }
  fs::path temp;
};

TEST_F(SimLibraryTest, ScenarioReplacesTheWorld) {
  ASSERT_EQ(kx7sim_load_scenario((kScenarios + "/two-players.json").c_str()), 0);
  EXPECT_EQ(Text(kx7sim_scenario_error), "");
  char list[26] = {};
  EXPECT_EQ(MSCDeviceList(list), 2);
  EXPECT_EQ(kx7sim_player_count(), 2);
  char serial[64] = {};
  EXPECT_EQ(kx7sim_player_serial_at(1, serial, sizeof serial), 17);
  EXPECT_STREQ(serial, "0000KX7T5B3D2AE1");
  EXPECT_EQ(kx7sim_player_serial_at(2, serial, sizeof serial), 0);
  EXPECT_EQ(Text(kx7sim_firmware_folder), "C:\\Program Files\\Korvane\\Tessio Updater\\Firmware\\");

  ASSERT_EQ(kx7sim_load_scenario((kScenarios + "/no-player.json").c_str()), 0);
  EXPECT_EQ(MSCDeviceList(list), 0);
  EXPECT_EQ(Text(kx7sim_player_serial), "");
  EXPECT_EQ(Text(kx7sim_firmware_folder), "C:\\Tools\\Firmware\\");
  ASSERT_EQ(kx7sim_reset(), 0);
  EXPECT_EQ(MSCDeviceList(list), 1);
}

TEST_F(SimLibraryTest, RefusedScenarioKeepsTheWorldAndSaysWhy) {
  const std::string bad = (temp / "bad.json").string();
  std::ofstream(bad) << R"({"players": [{"serial": "X", "letter": 5}]})";
  EXPECT_EQ(kx7sim_load_scenario(bad.c_str()), 2);
  EXPECT_EQ(Text(kx7sim_scenario_error),
            bad + ": /players/0/letter: not a drive letter (write \"E\" or \"E:\")");
  EXPECT_EQ(kx7sim_load_scenario((temp / "missing.json").c_str()), 2);
  EXPECT_EQ(Text(kx7sim_scenario_error), (temp / "missing.json").string() + ": cannot be read");
  EXPECT_EQ(kx7sim_load_scenario(nullptr), 2);
  // Still the built-in world.
  char list[26] = {};
  EXPECT_EQ(MSCDeviceList(list), 1);
  EXPECT_EQ(Text(kx7sim_player_serial), "0000KX7T4A2C19F0");
}

TEST_F(SimLibraryTest, TranscriptGoesToAFile) {
  char list[26] = {};
  MSCDeviceList(list);
  const fs::path file = temp / "trace.jsonl";
  ASSERT_EQ(kx7sim_write_transcript(file.c_str()), 0);
  const std::vector<std::uint8_t> written = ReadReal(file);
  EXPECT_EQ(std::string(written.begin(), written.end()), Text(kx7sim_transcript));
  EXPECT_FALSE(written.empty());
  EXPECT_EQ(kx7sim_write_transcript((temp / "no" / "such" / "folder.jsonl").c_str()), 3);
}

// After an update the firmware drives hold the firmware file, the rest of
// each drive erased; the real example folder serves as the firmware folder.
TEST_F(SimLibraryTest, ExportsAFirmwareDriveByTag) {
  char serial[64] = {};
  kx7sim_player_serial(serial, sizeof serial);
  ASSERT_EQ(DoNormalUpdate(serial, kExample.c_str()), 0);

  const fs::path drive = temp / "drive-60.bin";
  ASSERT_EQ(kx7sim_export_drive(serial, 0x60, drive.c_str()), 0);
  const std::vector<std::uint8_t> bytes = ReadReal(drive);
  const std::vector<std::uint8_t> firmware = ReadReal(kExample + "firmware.sb");
  ASSERT_EQ(bytes.size(), 2u * 1024 * 1024);
  EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), bytes.begin()));
  EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(firmware.size()), bytes.end(),
                          [](std::uint8_t b) { return b == 0xFF; }));

  EXPECT_EQ(kx7sim_export_drive(nullptr, 0x50, (temp / "first.bin").c_str()), 0);
  EXPECT_EQ(kx7sim_export_drive(serial, 0x99, (temp / "x.bin").c_str()), 2);
  EXPECT_EQ(kx7sim_export_drive("NOSUCHPLAYER", 0x50, (temp / "x.bin").c_str()), 2);
  EXPECT_EQ(kx7sim_export_drive(serial, 0x50, (temp / "no" / "x.bin").c_str()), 3);
}

// After a recovery the data drive holds a partition table and the volume it
// describes; the two exports agree on where that volume lies.
TEST_F(SimLibraryTest, ExportsTheDataDriveAndItsVolume) {
  ASSERT_EQ(kx7sim_load_scenario((kScenarios + "/rom-recovery.json").c_str()), 0);
  char folder[260] = {};
  kx7sim_firmware_folder(folder, sizeof folder);
  ASSERT_EQ(DoRecoveryUpdate("", folder), 0);

  const fs::path disk = temp / "disk.img";
  const fs::path volume = temp / "volume.img";
  ASSERT_EQ(kx7sim_export_data_drive("0000KX7T88D1E2A7", disk.c_str()), 0);
  ASSERT_EQ(kx7sim_export_data_volume("0000KX7T88D1E2A7", volume.c_str()), 0);
  const std::vector<std::uint8_t> mbr = ReadReal(disk, 0, 512);
  ASSERT_EQ(mbr.size(), 512u);
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);
  const auto le32 = [&](std::size_t at) {
    return std::uint64_t{mbr[at]} | mbr[at + 1] << 8 | mbr[at + 2] << 16 |
           std::uint64_t{mbr[at + 3]} << 24;
  };
  const std::uint64_t first = le32(454) * 512;
  const std::uint64_t length = le32(458) * 512;
  EXPECT_EQ(fs::file_size(volume), length);
  ASSERT_LE(first + length, fs::file_size(disk));
  // The volume's file system structures lie at its start.
  const std::vector<std::uint8_t> head = ReadReal(volume, 0, 1024 * 1024);
  EXPECT_EQ(head, ReadReal(disk, first, head.size()));
  ASSERT_GE(head.size(), 512u);
  EXPECT_EQ(head[510], 0x55);  // a boot sector
  EXPECT_EQ(kx7sim_export_data_volume("0000KX7T4A2C19F0", volume.c_str()), 2);
}

// Windows 8.1, 10 and 11 call themselves neither XP nor Vista/7, yet the
// whole road runs on them as on Windows 7: the player is found, updated in
// place, and after a recovery its backed-up settings come back.
TEST_F(SimLibraryTest, EveryProcedureRunsOnLaterWindows) {
  const auto OnHost = [&](const char* name, const std::string& os) {
    std::ifstream in(kScenarios + "/" + name);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::size_t at = text.find("\"os\": \"");
    const std::size_t end = text.find('"', at + 7);
    text.replace(at + 7, end - at - 7, os);
    const fs::path path = temp / (os + "-" + name);
    std::ofstream(path) << text;
    return kx7sim_load_scenario(path.c_str());
  };
  for (const std::string os : {"windows-8.1", "windows-10", "windows-11"}) {
    SCOPED_TRACE(os);
    ASSERT_EQ(OnHost("clean-update.json", os), 0);
    char folder[260] = {};
    kx7sim_firmware_folder(folder, sizeof folder);
    DeviceInfo info{};
    ASSERT_EQ(GetDeviceInfo("0000KX7T4A2C19F0", &info), 0);
    EXPECT_STREQ(info.DriveLetterText, "E");
    EXPECT_EQ(NeedRecovery("0000KX7T4A2C19F0", folder), 1);
    ASSERT_EQ(DoNormalUpdate("0000KX7T4A2C19F0", folder), 0);

    ASSERT_EQ(OnHost("rom-recovery.json", os), 0);
    kx7sim_firmware_folder(folder, sizeof folder);
    ASSERT_EQ(GetDeviceInfo("0000KX7T88D1E2A7", &info), 0);
    EXPECT_STREQ(info.Mode, "REC");
    ASSERT_EQ(DoRecoveryUpdate("", folder), 0);
    ASSERT_EQ(kx7sim_advance_ms(5000), 0);
    ASSERT_EQ(GetDeviceInfo("0000KX7T88D1E2A7", &info), 0);
    EXPECT_STREQ(info.FirmwareVersion, "2.03");
    EXPECT_STREQ(info.RegionCode, "93");  // the settings the host kept
  }
}

TEST_F(SimLibraryTest, RealTimeMakesWaitsLast) {
  using Clock = std::chrono::steady_clock;
  ASSERT_EQ(kx7sim_set_real_time(1), 0);
  const long long before = kx7sim_virtual_time_ms();
  const auto start = Clock::now();
  ASSERT_EQ(kx7sim_advance_ms(200), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(kx7sim_virtual_time_ms() - before, 200);
  ASSERT_EQ(kx7sim_set_real_time(0), 0);
}

}  // namespace
