// The kx7fw-sim shared library as a host application uses it: plain C calls
// on the default simulated world.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kx7fw/kx7fw.h"

extern "C" {
int kx7sim_reset(void);
int kx7sim_transcript(char* out, int size);
int kx7sim_firmware_folder(char* out, int size);
int kx7sim_player_serial(char* out, int size);
long long kx7sim_virtual_time_ms(void);
int kx7sim_advance_ms(unsigned milliseconds);
}

namespace {

class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kx7sim_reset(), 0); }
};

TEST_F(ExportsTest, VersionTexts) {
  char text[30];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(GetFWLibraryVersion(text), 0);
  EXPECT_STREQ(text, "000.000.001.002");
  EXPECT_EQ(GetAPIVersion(text), 0);
  EXPECT_STREQ(text, "000.000.000.006");
}

TEST_F(ExportsTest, ModeExportsWhileIdle) {
  EXPECT_EQ(ChangeUSBMode(), 1);
  EXPECT_EQ(ResetChipset(), 0);
  EXPECT_EQ(Detect_HID("HID#VID_066F&PID_3770"), 0);
  EXPECT_EQ(Detect_HID(nullptr), 0);
}

TEST_F(ExportsTest, DeviceListCountsTheDefaultPlayer) {
  char list[26];
  std::memset(list, 'x', sizeof list);
  EXPECT_EQ(MSCDeviceList(list), 1);
  EXPECT_STREQ(list, "");
}

TEST_F(ExportsTest, TranscriptRecordsTheScan) {
  char list[26];
  MSCDeviceList(list);
  const int size = kx7sim_transcript(nullptr, 0);
  ASSERT_GT(size, 1);
  std::string text(static_cast<std::size_t>(size), '\0');
  ASSERT_EQ(kx7sim_transcript(text.data(), size), size);
  // INQUIRY of the player at E:, as one JSON line.
  EXPECT_NE(
      text.find(R"("op":"scsi","target":"\\\\.\\E:","cdb":"120000006000","dir":"in","len":96)"),
      std::string::npos)
      << text.substr(0, 400);
}

// The road a host application takes: identify the player, compare versions,
// decide the path, update, wait for the player and look again.
TEST_F(ExportsTest, NormalUpdateOfTheDefaultPlayer) {
  char serial[64];
  char folder[260];
  ASSERT_LT(kx7sim_player_serial(serial, sizeof serial), static_cast<int>(sizeof serial));
  ASSERT_LT(kx7sim_firmware_folder(folder, sizeof folder), static_cast<int>(sizeof folder));

  char id[128] = {};
  ASSERT_EQ(DeviceSerialNum(id, 0), 1);
  EXPECT_EQ(std::string(id), std::string("USB\\VID_3F1C&PID_7A52\\") + serial);

  DeviceInfo info{};
  ASSERT_EQ(GetDeviceInfo(serial, &info), 0);
  EXPECT_STREQ(info.FirmwareVersion, "1.01");
  char local[16] = {};
  ASSERT_EQ(GetLocalVersion(folder, local, sizeof local), 0);
  EXPECT_STREQ(local, "2.03");
  EXPECT_EQ(NeedRecovery(serial, folder), 1);

  const long long start = kx7sim_virtual_time_ms();
  ASSERT_EQ(DoNormalUpdate(serial, folder), 0);
  EXPECT_GE(kx7sim_virtual_time_ms() - start, 45000);

  // The player restarts with the new firmware.
  ASSERT_EQ(kx7sim_advance_ms(5000), 0);
  char list[26] = {};
  EXPECT_EQ(MSCDeviceList(list), 1);
  EXPECT_STREQ(list, "E");
  ASSERT_EQ(GetDeviceInfo(serial, &info), 0);
  EXPECT_STREQ(info.Mode, "MSC");
  EXPECT_STREQ(info.FirmwareVersion, "2.03");
  EXPECT_STREQ(info.RegionCode, "37");
}

}  // namespace
