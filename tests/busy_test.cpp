// The single-operation guard as the host meets it: while one operation runs,
// every guarded export refuses at once and leaves the running one alone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kx7fw/kx7fw.h"
#include "sim/scenario/default_scenario.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

using sim::DefaultScenario;
using sim::EventKind;

class BusyTest : public SimFixture {
 protected:
  BusyTest() { sim::BuildDefaultScenario(world); }

  // Runs `probe` once, at the first sleep of a normal update.
  void DuringUpdate(const std::function<void()>& probe) {
    bool done = false;
    world.transcript().setListener([&](const sim::Event& e) {
      if (e.kind == EventKind::Sleep && !done) {
        done = true;
        probe();
      }
    });
    updateResult = library.DoNormalUpdate(DefaultScenario::kSerial, kFolder);
    world.transcript().setListener(nullptr);
    ASSERT_TRUE(done);
  }

  std::uint32_t DisableAutoplay() {
    std::uint32_t value = 99;
    world.registry().dword(platform::RegistryRoot::CurrentUser, sim::reg_path::kAutoplayHandlers,
                           "DisableAutoplay", value);
    return value;
  }

  const char* kFolder = DefaultScenario::kFirmwareFolder;
  int updateResult = -1;
};

TEST_F(BusyTest, EveryGuardedExportRefusesWhileAnUpdateRuns) {
  DuringUpdate([&] {
    ASSERT_TRUE(library.Busy());
    DeviceInfo info;
    std::memset(&info, 0xAA, sizeof info);
    EXPECT_EQ(library.GetDeviceInfo(DefaultScenario::kSerial, &info), 3);
    EXPECT_EQ(static_cast<unsigned char>(info.Mode[0]), 0xAA);
    char text[30] = "untouched";
    EXPECT_EQ(library.GetLocalVersion(kFolder, text, sizeof text), 3);
    EXPECT_EQ(library.NeedRecovery(DefaultScenario::kSerial, "C:\\other\\"), 3);
    EXPECT_EQ(library.DoNormalUpdate(DefaultScenario::kSerial, kFolder), 3);
    EXPECT_EQ(library.DoRecoveryUpdate(DefaultScenario::kSerial, kFolder), 3);
    EXPECT_EQ(library.GetFWLibraryVersion(text), 2);
    EXPECT_EQ(library.GetAPIVersion(text), 2);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(library.ChangeUSBMode(), 3);
    EXPECT_EQ(library.ResetChipset(), 3);
    // The refusals left the running update its flag and its paths.
    EXPECT_TRUE(library.Busy());
    EXPECT_EQ(library.Images()[3].FilePath, std::string(kFolder) + "firmware.sb");
  });
  EXPECT_EQ(updateResult, 0);
  EXPECT_FALSE(library.Busy());
  EXPECT_EQ(library.ChangeUSBMode(), 1);
  EXPECT_EQ(library.ResetChipset(), 0);
  EXPECT_FALSE(library.Busy());
}

TEST_F(BusyTest, UnguardedExportsAnswerWhileAnUpdateRuns) {
  DuringUpdate([&] {
    char list[26];
    // The player is on its way into recovery: no player in mass storage.
    EXPECT_EQ(library.MSCDeviceList(list), 0);
    EXPECT_STREQ(list, "E");
    EXPECT_EQ(library.Detect_HID("HID#VID_066F&PID_3770"), 0);
    EXPECT_TRUE(library.Busy());
  });
  EXPECT_EQ(updateResult, 0);
}

TEST_F(BusyTest, RefusedUpdatesStillRestoreAutoPlay) {
  DuringUpdate([&] {
    // The running update switched AutoPlay off and registered its handler.
    ASSERT_EQ(DisableAutoplay(), 1u);
    ASSERT_EQ(world.runningCookies().size(), 1u);
    EXPECT_EQ(library.DoNormalUpdate(DefaultScenario::kSerial, kFolder), 3);
    EXPECT_EQ(library.DoRecoveryUpdate("", kFolder), 3);
    // Each refused call put back what it found and revoked what it added.
    EXPECT_EQ(DisableAutoplay(), 1u);
    EXPECT_EQ(world.runningCookies().size(), 1u);
  });
  EXPECT_EQ(updateResult, 0);
  EXPECT_EQ(DisableAutoplay(), 0u);
  EXPECT_TRUE(world.runningCookies().empty());
  EXPECT_EQ(Events(EventKind::RotRegister).size(), 3u);
  EXPECT_EQ(Events(EventKind::RotRevoke).size(), 3u);
}

}  // namespace
}  // namespace kx7::test
