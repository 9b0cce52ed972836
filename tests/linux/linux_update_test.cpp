// The library's procedures end to end through the unmodified Linux backend:
// the player model behind the testbed answers SG_IO on its generic node and
// the ROM's hidraw writes, and changes mode as a real player does.
#include <cerrno>
#include <fstream>

#include "api/result_codes.h"
#include "kx7fw/kx7fw.h"
#include "sim/scenario/default_scenario.h"
#include "testbed_fixture.h"

namespace kx7::test {
namespace {

using linux_backend::AccessFailure;
using linux_backend::NodeOperation;

constexpr const char* kSerial = "0000KX7T4A2C19F0";

class UpdateTest : public TestbedTest {
 protected:
  void SetUp() override {
    TestbedTest::SetUp();
    if (IsSkipped()) return;
    folder = scratch + "/firmware/";
    WriteFile(folder + "firmware.sb", sim::DefaultFirmwareFile());
    WriteFile(folder + "updater.sb", sim::DefaultUpdaterFile());
  }
  std::vector<std::uint8_t> DriveStart(std::uint8_t tag, std::size_t length) {
    return bed->player(0).driveByTag(tag)->media.read(0, length);
  }

  std::string folder;
};

TEST_F(UpdateTest, DeviceInfoReadsThePlayerAndBacksUpItsSettingsFromItsMount) {
  AddPlayer(kSerial);
  const std::string media = scratch + "/media/TESSIO";
  const std::vector<std::uint8_t> persist = {0x4B, 0x58, 0x25, 0x01, 0x00};
  const std::vector<std::uint8_t> diversity = {'R', '=', '3', '7'};
  WriteFile(media + "/PERSIST.BIN", persist);
  WriteFile(media + "/DEVDIVERSITY.INI", diversity);
  const std::string backup = config.stateDirectory + "/" + kSerial;

  // Not mounted yet: the player's files are not there to copy.
  DeviceInfo info{};
  ASSERT_EQ(library->GetDeviceInfo(kSerial, &info), result::kOk);
  EXPECT_STREQ(info.Mode, "MSC");
  EXPECT_STREQ(info.FirmwareVersion, "1.01");
  EXPECT_STREQ(info.DriveLetterText, "B");
  EXPECT_STREQ(info.RegionCode, "0");
  EXPECT_TRUE(ReadFile(backup + "/PERSIST.BIN").empty());

  Mount(bed->partitionDevnum(0), media);
  ASSERT_EQ(library->GetDeviceInfo(kSerial, &info), result::kOk);
  EXPECT_STREQ(info.RegionCode, "37");  // read back from the backup
  EXPECT_STREQ(info.Serial, kSerial);
  EXPECT_EQ(ReadFile(backup + "/PERSIST.BIN"), persist);
  EXPECT_EQ(ReadFile(backup + "/DEVDIVERSITY.INI"), diversity);
  EXPECT_EQ(backend->openHandleCount(), 0u);
}

TEST_F(UpdateTest, NormalUpdateRunsEndToEnd) {
  AddPlayer(kSerial);
  EXPECT_EQ(library->NeedRecovery(kSerial, folder.c_str()), result::kRecoveryNotNeeded);

  ASSERT_EQ(library->DoNormalUpdate(kSerial, folder.c_str()), result::kOk);
  EXPECT_GE(bed->now(), 45000u);  // the update's fixed waits, on the virtual clock
  bed->sleep(10000);              // the player restarts on its new firmware

  sim::Player& player = bed->player(0);
  EXPECT_EQ(player.mode, sim::PlayerMode::Normal);
  EXPECT_EQ(player.firmwareVersion(), (sim::Triple{2, 3, 14}));
  EXPECT_EQ(player.receivedImage(), sim::DefaultUpdaterFile());
  const auto firmware = sim::DefaultFirmwareFile();
  for (std::uint8_t tag : {0x50, 0x60, 0x70}) EXPECT_EQ(DriveStart(tag, firmware.size()), firmware);

  DeviceInfo info{};
  ASSERT_EQ(library->GetDeviceInfo(kSerial, &info), result::kOk);
  EXPECT_STREQ(info.FirmwareVersion, "2.03");

  // The AutoPlay cancel handler the update registered is in the user's store.
  platform::Registry& registry = services->registry;
  const auto key = registry.openKey(
      platform::RegistryRoot::LocalMachine,
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers\\CancelAutoplay\\"
      "CLSID",
      platform::registry_access::kRead);
  ASSERT_TRUE(key.has_value());
  std::uint8_t value[16];
  std::uint32_t length = 99;
  EXPECT_TRUE(registry.queryValue(*key, "66A32FE6-229D-427B-A608-D273F40C034C", value, length));
  EXPECT_EQ(length, 0u);
  registry.closeKey(*key);
}

TEST_F(UpdateTest, APlayerPulledOutMidTransferFailsCleanly) {
  struct Case {
    const char* name;
    sim::PlayerMode mode;
    unsigned nth;  // the command that meets no device
    bool update;
    int result;
  };
  const Case cases[] = {
      {"first query of the device information", sim::PlayerMode::Normal, 1, false,
       result::kInfoNoPlayer},
      {"reading the drive table", sim::PlayerMode::Normal, 9, false, result::kInfoNoPlayer},
      {"writing the firmware", sim::PlayerMode::Updater, 40, true, result::kNormalWriteFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();  // a fresh testbed for each case
    SetUp();
    AddPlayer(kSerial);
    bed->failScsiFrom(0, c.mode, c.nth);
    DeviceInfo info{};
    EXPECT_EQ(c.update ? library->DoNormalUpdate(kSerial, folder.c_str())
                       : library->GetDeviceInfo(kSerial, &info),
              c.result);
    const auto failure = backend->lastAccessFailure();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->error, ENODEV);
    EXPECT_EQ(failure->operation, NodeOperation::Command);
    EXPECT_EQ(failure->node, bed->sgNode(0));
    // A session that failed closed what it opened.
    if (!c.update) {
      EXPECT_EQ(backend->openHandleCount(), 0u);
    }
  }
}

TEST_F(UpdateTest, AMountedPartitionKeepsTheUpdaterFromBeingLocked) {
  AddPlayer(kSerial);
  // The updater is the second disk to appear; the desktop mounted its volume.
  const dev_t updaterVolume = UsbTestbed::PartitionDevnumOfDisk(1);
  Mount(updaterVolume, scratch + "/media/UPDATER");

  EXPECT_EQ(library->DoNormalUpdate(kSerial, folder.c_str()), result::kNormalWriteFailed);
  const auto failure = backend->lastAccessFailure();
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure, (AccessFailure{"/dev/sdc1", EBUSY, NodeOperation::Lock}));
  EXPECT_EQ(bed->player(0).mode, sim::PlayerMode::Updater);  // nothing was written
  EXPECT_TRUE(DescriptorsOn("/dev/sdc").empty());
}

}  // namespace
}  // namespace kx7::test
