// kx7fw as people and scripts run it: every command's exit code, final line
// and JSON result, on the built-in simulated world.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_tool.h"
#include "support/fat_oracle.h"

namespace kx7::test {
namespace {

using namespace cli_tool;

struct CommandCase {
  const char* name;
  std::vector<std::string> args;
  int exitCode;
  std::string lastLine;
};

class CliCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CliCommand, ExitsWithItsCodeAndFinalLine) {
  const CommandCase& c = GetParam();
  const ToolOutput run = Kx7fw(c.args);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
  EXPECT_EQ(run.LastLine(), c.lastLine) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    BuiltInWorld, CliCommand,
    ::testing::Values(
        CommandCase{"List", {"--sim", "list"}, 0, "kx7fw list: done"},
        CommandCase{"Info", {"--sim", "info"}, 0, "kx7fw info: done (result 0: player found)"},
        CommandCase{"InfoOfNoPlayer",
                    {"--sim", "info", "0000NOSUCHPLAYER"},
                    3,
                    "kx7fw info: refused - no player with serial 0000NOSUCHPLAYER is attached; "
                    "next: plug the player in and run kx7fw --sim info"},
        CommandCase{"LocalVersion",
                    {"--sim", "local-version", kFolder},
                    0,
                    "kx7fw local-version: done (result 0: version read)"},
        CommandCase{"LocalVersionWithoutFirmware",
                    {"--sim", "local-version", "C:\\Nothing\\"},
                    3,
                    "kx7fw local-version: refused - the firmware folder is not usable"},
        CommandCase{
            "Inspect", {"--sim", "inspect", kFolder + "updater.sb"}, 0, "kx7fw inspect: done"},
        CommandCase{"InspectAMissingFile",
                    {"--sim", "inspect", kFolder + "nothing.sb"},
                    3,
                    "kx7fw inspect: refused - " + kFolder + "nothing.sb is not a valid SB file"},
        CommandCase{"NeedRecovery",
                    {"--sim", "need-recovery", kSerial, kFolder},
                    0,
                    "kx7fw need-recovery: no recovery needed (result 1: the new firmware fits, or "
                    "the player is not reachable)"},
        CommandCase{"Update",
                    {"--sim", "update", kSerial, kFolder},
                    0,
                    "kx7fw update: done (result 0: update done) - it runs firmware 2.03 at E:"},
        CommandCase{"UpdateFromAWrongFolder",
                    {"--sim", "update", kSerial, "C:\\Wrong\\"},
                    3,
                    "kx7fw update: refused - the firmware folder is not usable; nothing was sent "
                    "to the player"},
        CommandCase{"UpdateOfNoPlayer",
                    {"--sim", "update", "0000NOSUCHPLAYER", kFolder},
                    3,
                    "kx7fw update: refused - no player with serial 0000NOSUCHPLAYER is attached in "
                    "mass-storage mode; nothing was sent to the player"},
        CommandCase{"Recover",
                    {"--sim", "recover", kFolder, "--yes"},
                    0,
                    "kx7fw recover: done (result 0: recovery done) - rebuilt " + kSerial +
                        ", its 2 files put back; it runs firmware 2.03 at E:"},
        CommandCase{"RecoverUnconfirmed",
                    {"--sim", "recover", kFolder},
                    3,
                    "kx7fw recover: refused - recover erases the player's files: confirm on a "
                    "terminal, or give --yes; nothing was sent to the player; next: to rebuild it "
                    "without a question, run kx7fw --sim recover " +
                        kSerial + " '" + kFolder + "' --yes"},
        // Arguments as people type them.
        CommandCase{"FolderWithoutItsSeparator",
                    {"--sim", "update", KX7FW_EXAMPLE_FIRMWARE},
                    0,
                    "kx7fw update: done (result 0: update done) - it runs firmware 2.03 at E:"},
        CommandCase{"FolderWhereTheSerialGoes",
                    {"--sim", "update", KX7FW_EXAMPLE_FIRMWARE, kSerial},
                    0,
                    "kx7fw update: done (result 0: update done) - it runs firmware 2.03 at E:"},
        CommandCase{"EmptySerial", {"--sim", "update", ""}, 2, ""},
        CommandCase{"AFolderGivenToInfo", {"--sim", "info", KX7FW_EXAMPLE_FIRMWARE}, 2, ""},
        CommandCase{"SimAfterTheCommand", {"list", "--sim"}, 0, "kx7fw list: done"},
        CommandCase{"NeedRecoveryOfNoSuchPlayer",
                    {"--sim", "need-recovery", "0000NOSUCHPLAYER"},
                    3,
                    "kx7fw need-recovery: refused - no player with serial 0000NOSUCHPLAYER is "
                    "attached in mass-storage mode"},
        CommandCase{"FormatImageKeepsAnExistingFile",
                    {"format-image", "/dev/null", "--sectors", "131072"},
                    3,
                    "kx7fw format-image: refused - /dev/null exists; give --force to replace it"},
        CommandCase{"LabelTooLong",
                    {"format-image", "/dev/null", "--sectors", "131072", "--label", "TWELVE CHARS"},
                    3,
                    "kx7fw format-image: refused - a volume label holds at most 11 characters"},
        CommandCase{"DriveTooSmall",
                    {"format-image", "/dev/null", "--sectors", "4000"},
                    3,
                    "kx7fw format-image: refused - no FAT16 or FAT32 volume fits 4000 sectors of "
                    "512 bytes"},
        CommandCase{"Demo",
                    {"demo"},
                    0,
                    "kx7fw demo: done - firmware 1.01 before, 2.03 after both updates"}),
    [](const auto& info) { return std::string(info.param.name); });

// The shipped scenarios, each with the command it is there for.
INSTANTIATE_TEST_SUITE_P(
    ShippedScenarios, CliCommand,
    ::testing::Values(
        CommandCase{"CleanUpdate",
                    {"--sim", Scenario("clean-update"), "update"},
                    0,
                    "kx7fw update: done (result 0: update done) - it runs firmware 2.03 at E:"},
        CommandCase{"FirmwareTooLargeIsNotUpdated",
                    {"--sim", Scenario("firmware-too-large"), "update"},
                    3,
                    "kx7fw update: refused - the new firmware no longer fits this player's system "
                    "drives; nothing was sent to the player; next: rebuild it instead (its files "
                    "are kept): kx7fw --sim " +
                        Scenario("firmware-too-large") + " recover " + kSerial + " '" + kFolder +
                        "'"},
        CommandCase{"FirmwareTooLargeNeedsRecovery",
                    {"--sim", Scenario("firmware-too-large"), "need-recovery"},
                    0,
                    "kx7fw need-recovery: recovery needed (result 0: the new firmware no longer "
                    "fits the player: recovery needed) - it keeps its firmware; next: rebuild it "
                    "(its files are kept): kx7fw --sim " +
                        Scenario("firmware-too-large") + " recover " + kSerial + " '" + kFolder +
                        "'"},
        CommandCase{"FirmwareTooLargeIsRecovered",
                    {"--sim", Scenario("firmware-too-large"), "recover", "--yes"},
                    0,
                    "kx7fw recover: done (result 0: recovery done) - rebuilt " + kSerial +
                        ", its 1 file put back; it runs firmware 3.00 at E:"},
        CommandCase{"RomRecoveryIsRecovered",
                    {"--sim", Scenario("rom-recovery"), "recover", "--yes"},
                    0,
                    "kx7fw recover: done (result 0: recovery done) - rebuilt 0000KX7T88D1E2A7; it "
                    "runs firmware 2.03 at F:"},
        CommandCase{"RomRecoveryIsNotUpdated",
                    {"--sim", Scenario("rom-recovery"), "update", "0000KX7T4A2C19F0"},
                    3,
                    "kx7fw update: refused - a player is in ROM recovery mode, where only a "
                    "recovery reaches it; the player waits in its ROM recovery mode; next: rebuild "
                    "it: kx7fw --sim " +
                        Scenario("rom-recovery") + " recover '" + kFolder + "'"},
        CommandCase{
            "TwoPlayersListed", {"--sim", Scenario("two-players"), "list"}, 0, "kx7fw list: done"},
        CommandCase{"NoPlayer",
                    {"--sim", Scenario("no-player"), "update"},
                    3,
                    "kx7fw update: refused - no player in mass-storage mode; next: "
                    "plug the player in and run kx7fw --sim " +
                        Scenario("no-player") + " update 'C:\\Tools\\Firmware\\'"},
        CommandCase{"ReadBackDiffers",
                    {"--sim", Scenario("fault-readback-differs"), "update"},
                    1,
                    "kx7fw update: failed at verifying drive 0x60 (result 7: verifying a firmware "
                    "image failed) - its firmware drives are partly rewritten; it waits in its "
                    "updater mode at E:; next: unplug it, plug it in with its recovery button held "
                    "and run kx7fw --sim " +
                        Scenario("fault-readback-differs") + " recover '" + kFolder + "'"},
        CommandCase{"UpdaterNeverComes",
                    {"--sim", Scenario("fault-updater-never-comes"), "update"},
                    1,
                    "kx7fw update: failed at waiting for the updater drive (result 6: writing a "
                    "firmware image failed) - its firmware drives are untouched (firmware 1.01); "
                    "it is not attached now; next: unplug it and plug it in again (it starts "
                    "firmware 1.01), then run kx7fw --sim " +
                        Scenario("fault-updater-never-comes") + " update " + kSerial + " '" +
                        kFolder + "'"},
        CommandCase{"NeedRecoveryOfAPlayerInRomRecoveryMode",
                    {"--sim", Scenario("rom-recovery"), "need-recovery"},
                    0,
                    "kx7fw need-recovery: recovery needed - it waits in its ROM recovery mode; "
                    "next: rebuild it: kx7fw --sim " +
                        Scenario("rom-recovery") + " recover '" + kFolder + "'"},
        CommandCase{"NeedRecoveryWithNoPlayer",
                    {"--sim", Scenario("no-player"), "need-recovery"},
                    3,
                    "kx7fw need-recovery: refused - no player is attached; next: plug the player "
                    "in and run kx7fw --sim " +
                        Scenario("no-player") + " need-recovery"},
        CommandCase{
            "DismountRefused",
            {"--sim", Scenario("fault-dismount-refused"), "recover", "--yes"},
            1,
            "kx7fw recover: failed at formatting the data drive (result 10: formatting the "
            "data drive failed) - its media was erased and is not rebuilt; next: unplug it, "
            "plug it in with its recovery button held and run kx7fw --sim " +
                Scenario("fault-dismount-refused") + " recover '" + kFolder + "'"},
        CommandCase{"BadScenario",
                    {"--sim", Scenario("no-such-scenario"), "list"},
                    3,
                    "kx7fw list: refused - " + Scenario("no-such-scenario") + ": cannot be read"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Cli, WrongCommandLinesExitWithTwo) {
  EXPECT_EQ(Kx7fw({}).exitCode, 2);
  EXPECT_EQ(Kx7fw({"bogus"}).exitCode, 2);
  EXPECT_EQ(Kx7fw({"update", kSerial, kFolder, "extra"}).exitCode, 2);
  EXPECT_EQ(Kx7fw({"--progress=sometimes", "list"}).exitCode, 2);
  EXPECT_EQ(Kx7fw({"--help"}).exitCode, 0);
}

TEST(Cli, UpdateAsJsonWithProgressEvents) {
  const ToolOutput run = Kx7fw({"--sim", "--json", "--progress=json", "update", kSerial, kFolder});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const nlohmann::json result = run.Json();
  EXPECT_EQ(result["command"], "update");
  EXPECT_EQ(result["outcome"], "done");
  EXPECT_EQ(result["result"], 0);
  EXPECT_EQ(result["meaning"], "update done");
  EXPECT_EQ(result["firmwareBefore"], "1.01");
  EXPECT_EQ(result["firmwareAfter"], "2.03");

  // One event per line: each step starts and ends, in order, and the
  // transfers count up to their totals.
  std::vector<std::string> started;
  std::stringstream lines(run.err);
  int open = 0;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json event = nlohmann::json::parse(line);
    if (event["event"] == "step-started") {
      EXPECT_EQ(open++, 0);
      started.push_back(event["step"]);
    } else if (event["event"] == "step-ended") {
      EXPECT_EQ(--open, 0);
      EXPECT_EQ(event["step"], started.back());
    } else if (event["event"] == "bytes") {
      EXPECT_LE(event["done"].get<std::uint64_t>(), event["total"].get<std::uint64_t>());
    }
  }
  ASSERT_GE(started.size(), 3u);
  EXPECT_EQ(started.front(), "switching the player to its recovery mode");
  EXPECT_EQ(started.back(), "resetting the player");
}

// Files of the real machine, read through the simulated host.
TEST(Cli, InspectTellsWhyAFileIsNoSbFile) {
  const std::string folder = ::testing::TempDir() + "kx7fw-inspect-" + std::to_string(getpid());
  std::filesystem::create_directories(folder);
  struct Case {
    const char* name;
    std::string content;
    const char* reason;
  };
  const Case cases[] = {
      {"short.sb", std::string(60, 'x'),
       "holds 60 bytes; an SB file starts with a header of at least 96 bytes"},
      {"text.sb", std::string(200, 'x'),
       "has \"xxxx\" at 0x14 where an SB file has \"STMP\" or \"RSRC\""},
  };
  for (const Case& c : cases) {
    const std::string path = folder + "/" + c.name;
    std::ofstream(path, std::ios::binary) << c.content;
    const ToolOutput run = Kx7fw({"--sim", "--json", "inspect", path});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.Json()["reason"], c.reason);
    EXPECT_EQ(run.Json()["valid"], false);
  }
  std::filesystem::remove_all(folder);
}

TEST(Cli, ListAndInfoAsJson) {
  const nlohmann::json list = Kx7fw({"--sim", "--json", "list"}).Json();
  ASSERT_EQ(list["players"].size(), 1u);
  EXPECT_EQ(list["players"][0]["serial"], kSerial);
  EXPECT_EQ(list["players"][0]["letter"], "E");
  EXPECT_EQ(list["romRecovery"], false);
  const nlohmann::json info = Kx7fw({"--sim", "--json", "info", kSerial}).Json();
  EXPECT_EQ(info["mode"], "MSC");
  EXPECT_EQ(info["firmwareVersion"], "1.01");
  EXPECT_EQ(info["regionCode"], "37");
  ASSERT_EQ(info["drives"].size(), 8u);
  EXPECT_EQ(info["drives"][3]["tag"], 0x50);
  EXPECT_EQ(info["drives"][3]["version"], "1.01.0");
}

TEST(Cli, FormatImageIsAVolumeOutsideToolsRead) {
  const auto fsck = FindTool("fsck.fat");
  const auto minfo = FindTool("minfo");
  if (!fsck || !minfo) GTEST_SKIP() << "dosfstools and mtools are not installed";
  const std::string image =
      ::testing::TempDir() + "kx7fw-cli-image-" + std::to_string(getpid()) + ".img";
  const ToolOutput run = Kx7fw({"--json", "format-image", image, "--sectors", "262144",
                                "--sector-size", "2048", "--label", "KX7TMB"});
  ASSERT_EQ(run.exitCode, 0) << run.out;
  const nlohmann::json result = run.Json();
  EXPECT_EQ(result["fatType"], "FAT16");
  const std::uint64_t start = result["partitionStart"].get<std::uint64_t>() * 2048;
  const ToolRun info =
      RunTool(Quote(*minfo) + " -i " + Quote(image + "@@" + std::to_string(start)) + " ::");
  EXPECT_EQ(info.exitCode, 0) << info.output;
  EXPECT_EQ(MinfoField(info.output, "sector size"), "2048 bytes");
  // fsck.fat reads the partition alone.
  const std::string volume = image + ".volume";
  RunTool("dd if=" + Quote(image) + " of=" + Quote(volume) +
          " bs=2048 skip=" + std::to_string(start / 2048) + " conv=sparse status=none");
  const FsckVerdict verdict = CheckWithFsck(*fsck, volume);
  EXPECT_TRUE(verdict.complaints.empty()) << verdict.output;
  std::filesystem::remove(image);
  std::filesystem::remove(volume);
}

}  // namespace
}  // namespace kx7::test
