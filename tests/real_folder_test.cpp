// Firmware folders of the real machine in a simulated world: the library
// reads them wherever it is given a folder, and nothing it does writes to
// them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "kx7fw/kx7fw.h"
#include "sim/scenario/default_scenario.h"
#include "sim/scenario/scenario_file.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

namespace fs = std::filesystem;
using sim::DefaultScenario;

const std::string kExample = std::string(KX7FW_EXAMPLE_FIRMWARE_DIR) + "/example/";
const std::string kTooLarge = std::string(KX7FW_EXAMPLE_FIRMWARE_DIR) + "/too-large/";

std::vector<std::uint8_t> ReadReal(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder of this machine, gone with the test.
struct TempFolder {
  TempFolder() {
    path = fs::temp_directory_path() /
           ("kx7fw-real-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempFolder() { fs::remove_all(path); }
  std::string slash() const { return path.string() + "/"; }
  fs::path path;
};

class RealFolderTest : public SimFixture {
 protected:
  RealFolderTest() { sim::BuildDefaultScenario(world); }
};

TEST_F(RealFolderTest, LibraryReadsFirmwareFromARealFolder) {
  char local[16] = {};
  ASSERT_EQ(library.GetLocalVersion(kExample.c_str(), local, sizeof local), 0);
  EXPECT_STREQ(local, "2.03");
  ASSERT_EQ(library.GetLocalVersion(kTooLarge.c_str(), local, sizeof local), 0);
  EXPECT_STREQ(local, "3.00");
  EXPECT_EQ(library.NeedRecovery(DefaultScenario::kSerial, kTooLarge.c_str()), 0);
  EXPECT_EQ(library.NeedRecovery(DefaultScenario::kSerial, kExample.c_str()), 1);
  // A real folder without the files is a missing file, as on a host.
  EXPECT_EQ(library.GetLocalVersion("/nonexistent/kx7fw/", local, sizeof local), 2);

  ASSERT_EQ(library.DoNormalUpdate(DefaultScenario::kSerial, kExample.c_str()), 0);
  const std::vector<std::uint8_t> firmware = ReadReal(kExample + "firmware.sb");
  ASSERT_EQ(firmware.size(), 307323u);
  for (std::uint8_t tag : {0x50, 0x60, 0x70})
    EXPECT_EQ(world.player(0).driveByTag(tag)->media.read(0, firmware.size()), firmware) << +tag;
}

TEST_F(RealFolderTest, FaultRulesApplyToRealFiles) {
  world.faults().failFileOpen(kExample + "firmware.sb");
  char local[16] = {};
  EXPECT_EQ(library.GetLocalVersion(kExample.c_str(), local, sizeof local), 2);
}

TEST_F(RealFolderTest, RealFoldersAreReadOnly) {
  TempFolder temp;
  fs::copy_file(kExample + "firmware.sb", temp.path / "firmware.sb");
  platform::FileSystem& files = world.services().files;
  const std::string real = temp.slash();

  EXPECT_TRUE(files.pathExists(real + "firmware.sb"));
  EXPECT_TRUE(files.pathExists(temp.path.string()));
  EXPECT_FALSE(files.pathExists(real + "updater.sb"));
  // A folder does not open as a file.
  EXPECT_EQ(files.openForReading(temp.path.string(), platform::OpenMode::Binary), nullptr);
  auto file = files.openForReading(real + "firmware.sb", platform::OpenMode::Binary);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->size(), 307323u);
  std::uint8_t head[4] = {};
  EXPECT_EQ(file->readAt(0x14, head), 4u);
  EXPECT_EQ(std::string(head, head + 4), "STMP");

  // Reading into the simulated host works; every change of the real folder
  // is refused and leaves it as it was.
  EXPECT_TRUE(files.copyFileNoOverwrite(real + "firmware.sb", "C:\\firmware.sb"));
  EXPECT_EQ(*world.files().file("C:\\firmware.sb"), ReadReal(real + "firmware.sb"));
  world.files().addFile("C:\\note.txt", "x");
  EXPECT_FALSE(files.copyFileNoOverwrite("C:\\note.txt", real + "note.txt"));
  EXPECT_FALSE(files.createDirectory(real + "Temp"));
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.path), fs::directory_iterator()), 1);
  // The refusals are in the transcript like any failed call.
  const auto copies = Events(sim::EventKind::FileCopy);
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_FALSE(copies[1].ok);
  ASSERT_EQ(Events(sim::EventKind::Directory).size(), 1u);
  EXPECT_FALSE(Events(sim::EventKind::Directory)[0].ok);
}

// A scenario names a real folder relative to where the scenario file is.
TEST(RealFolderScenarioTest, RelativeRealFolderFollowsTheScenarioFile) {
  TempFolder temp;
  fs::create_directories(temp.path / "fw");
  for (const char* name : {"firmware.sb", "updater.sb", "lba_nand_bootlet.sb"})
    fs::copy_file(kTooLarge + name, temp.path / "fw" / name);
  const std::string scenario = (temp.path / "world.json").string();
  std::ofstream(scenario) << R"({"firmware": {"realFolder": "fw"},
                                 "players": [{"serial": "S1", "letter": "E"}]})";

  sim::World world;
  Library library(world.services());
  sim::ScenarioInfo info;
  std::string error;
  ASSERT_TRUE(sim::LoadScenarioFile(scenario, world, info, error)) << error;
  EXPECT_EQ(info.firmwareFolder, (temp.path / "fw").string() + "/");
  char local[16] = {};
  ASSERT_EQ(library.GetLocalVersion(info.firmwareFolder.c_str(), local, sizeof local), 0);
  EXPECT_STREQ(local, "3.00");
  EXPECT_EQ(library.NeedRecovery("S1", info.firmwareFolder.c_str()), 0);
}

}  // namespace
}  // namespace kx7::test
