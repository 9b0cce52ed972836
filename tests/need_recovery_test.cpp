// Which update path a running player needs: the firmware file against the
// player's first system drive.
#include <gtest/gtest.h>

#include <string>

#include "sim/scenario/default_scenario.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

using sim::DefaultScenario;

class NeedRecoveryTest : public SimFixture {
 protected:
  NeedRecoveryTest() { sim::BuildDefaultScenario(world); }
  int Need() { return library.NeedRecovery(DefaultScenario::kSerial, kFolder); }
  sim::SimDrive& FirmwareDrive() { return *world.player(0).driveByTag(0x50); }

  const char* kFolder = DefaultScenario::kFirmwareFolder;
  const std::uint64_t imageSize = sim::DefaultFirmwareFile().size();
};

TEST_F(NeedRecoveryTest, ComparesTheImageWithTheDrive) {
  FirmwareDrive().sizeBytes = imageSize;
  EXPECT_EQ(Need(), 1);  // equal sizes fit
  FirmwareDrive().sizeBytes = imageSize - 1;
  EXPECT_EQ(Need(), 0);  // one byte too many
  FirmwareDrive().sizeBytes = imageSize + 1;
  EXPECT_EQ(Need(), 1);
}

TEST_F(NeedRecoveryTest, SizesDifferingOnlyInTheHighHalfCompareAsSixtyFourBits) {
  // A 4 GiB drive whose low half is smaller than the image.
  FirmwareDrive().sizeBytes = (std::uint64_t{1} << 32) + 0x1000;
  EXPECT_EQ(Need(), 1);
}

TEST_F(NeedRecoveryTest, UncomparableCasesAreNoReasonForARecovery) {
  auto& drives = world.player(0).drives;
  FirmwareDrive().sizeBytes = 16;
  world.files().addFile(std::string(kFolder) + "firmware.sb", std::vector<std::uint8_t>(10, 0));
  EXPECT_EQ(Need(), 1);  // firmware file does not load
  world.files().addFile(std::string(kFolder) + "firmware.sb", sim::DefaultFirmwareFile());
  drives.erase(std::remove_if(drives.begin(), drives.end(),
                              [](const sim::SimDrive& d) { return d.tag == 0x50; }),
               drives.end());
  EXPECT_EQ(Need(), 1);  // no drive to compare with
}

TEST_F(NeedRecoveryTest, UnreachablePlayerGivesOne) {
  FirmwareDrive().sizeBytes = 16;
  EXPECT_EQ(library.NeedRecovery("0000KX7TFFFFFFFF", kFolder), 1);
  world.unplug(0, Now());
  EXPECT_EQ(Need(), 1);
}

TEST_F(NeedRecoveryTest, ArgumentsAndPaths) {
  EXPECT_EQ(library.NeedRecovery("", kFolder), 10);
  EXPECT_EQ(library.NeedRecovery(DefaultScenario::kSerial, ""), 11);
  EXPECT_TRUE(Scsi().empty());
  EXPECT_EQ(Need(), 1);
  EXPECT_EQ(library.Images()[3].FilePath, std::string(kFolder) + "firmware.sb");
  EXPECT_EQ(library.Images()[6].FilePath, std::string(kFolder) + "updater.sb");
  // The session was closed again.
  EXPECT_EQ(world.openHandleCount(), 0u);
  EXPECT_FALSE(library.Busy());
}

}  // namespace
}  // namespace kx7::test
