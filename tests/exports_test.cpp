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

}  // namespace
