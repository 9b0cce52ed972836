// kx7fw as people and scripts run it: every command's exit code, final line
// and JSON result, on the built-in simulated world.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "sim/scenario/default_scenario.h"
#include "support/fat_oracle.h"

namespace kx7::test {
namespace {

using sim::DefaultScenario;

struct ToolOutput {
  int exitCode = -1;
  std::string out;
  std::string err;
  std::string LastLine() const {
    std::string text = out;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);
  }
  nlohmann::json Json() const { return nlohmann::json::parse(out); }
};

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

ToolOutput Kx7fw(const std::vector<std::string>& args) {
  const std::string errFile =
      ::testing::TempDir() + "kx7fw-cli-" + std::to_string(getpid()) + ".err";
  // The tool on the PATH, as an installed one is: its advice then names it
  // "kx7fw".
  const std::string program = KX7FW_CLI_PATH;
  std::string command = "PATH=" + Quote(program.substr(0, program.rfind('/'))) + ":\"$PATH\" kx7fw";
  for (const std::string& a : args) command += " " + Quote(a);
  command += " 2>" + Quote(errFile);
  ToolOutput run;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream err(errFile);
  std::stringstream text;
  text << err.rdbuf();
  run.err = text.str();
  std::filesystem::remove(errFile);
  return run;
}

const std::string kFolder = DefaultScenario::kFirmwareFolder;
#define PROGRAM_FILES_FOLDER "C:\\Program Files\\Korvane\\Tessio Updater\\Firmware\\"
const std::string kSerial = DefaultScenario::kSerial;

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

std::string Scenario(const char* name) {
  return std::string(KX7FW_SCENARIO_DIR) + "/" + name + ".json";
}

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

// Every way an update or a recovery ends, as a script reads it: the step
// that failed as the progress named it, the state the player is left in and
// the command to run next; null where nothing is known.
TEST(Cli, EveryOutcomeNamesItsStepStateAndNextCommand) {
  struct Outcome {
    const char* scenario;
    std::vector<std::string> args;
    int exitCode;
    nlohmann::json failedStep;
    const char* playerState;
    const char* nextCommandEnd;  // "" when there is none
  };
  const Outcome rows[] = {
      {"fault-readback-differs",
       {"update"},
       1,
       "verifying drive 0x60",
       "needs-recovery",
       " recover '" PROGRAM_FILES_FOLDER "'"},
      {"fault-updater-never-comes",
       {"update"},
       1,
       "waiting for the updater drive",
       "firmware-untouched",
       " update 0000KX7T4A2C19F0 '" PROGRAM_FILES_FOLDER "'"},
      // Pulled out just before the first erase reached it.
      {"fault-unplugged-during-update",
       {"update"},
       1,
       "erasing drive 0x50",
       "firmware-untouched",
       " update 0000KX7T4A2C19F0 '" PROGRAM_FILES_FOLDER "'"},
      // The player never took the switch: a rebuild is its way to new firmware.
      {"fault-switch-ignored",
       {"update"},
       1,
       "switching the player to its recovery mode",
       "unchanged",
       " recover 0000KX7T4A2C19F0 '" PROGRAM_FILES_FOLDER "'"},
      {"fault-dismount-refused",
       {"recover", "--yes"},
       1,
       "formatting the data drive",
       "needs-recovery",
       " recover '" PROGRAM_FILES_FOLDER "'"},
      {"no-player", {"update"}, 3, nullptr, "unchanged", " update 'C:\\Tools\\Firmware\\'"},
      {"two-players", {"update"}, 3, nullptr, "unchanged", " update 0000KX7T4A2C19F0"},
      {"two-players-in-rom-recovery",
       {"recover", "--yes"},
       3,
       nullptr,
       "unchanged",
       " recover '" PROGRAM_FILES_FOLDER "'"},
      {"tiny-media",
       {"recover", "--yes"},
       3,
       nullptr,
       "unchanged",
       " recover 0000KX7T4A2C19F0 '" PROGRAM_FILES_FOLDER "' --force"},
      // Neither update nor recover can bring this firmware: no command to run.
      {"tiny-media", {"update"}, 3, nullptr, "unchanged", ""},
      {"tiny-media",
       {"need-recovery"},
       0,
       nullptr,
       "unchanged",
       " recover 0000KX7T4A2C19F0 '" PROGRAM_FILES_FOLDER "' --force"},
      {"rom-recovery",
       {"update"},
       3,
       nullptr,
       "rom-recovery",
       " recover '" PROGRAM_FILES_FOLDER "'"},
      {"clean-update",
       {"update", "--check"},
       0,
       nullptr,
       "unchanged",
       " update 0000KX7T4A2C19F0 '" PROGRAM_FILES_FOLDER "'"},
      {"two-players", {"update", "0000KX7T5B3D2AE1"}, 0, nullptr, "unchanged", ""},
      {"clean-update", {"update"}, 0, nullptr, "updated", ""},
  };
  for (const Outcome& row : rows) {
    SCOPED_TRACE(std::string(row.scenario) + " " + row.args.front());
    std::vector<std::string> args = {"--sim", Scenario(row.scenario), "--json"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const ToolOutput run = Kx7fw(args);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.out << run.err;
    const nlohmann::json result = run.Json();
    EXPECT_EQ(result["failedStep"], row.failedStep) << result.dump(2);
    EXPECT_EQ(result["playerState"], row.playerState) << result.dump(2);
    const std::string next = result["nextCommand"].is_string() ? result["nextCommand"] : "";
    EXPECT_TRUE(next.size() >= std::strlen(row.nextCommandEnd) &&
                next.compare(next.size() - std::strlen(row.nextCommandEnd), std::string::npos,
                             row.nextCommandEnd) == 0)
        << next;
    if (*row.nextCommandEnd == '\0') {
      EXPECT_EQ(next, "");
    }
    if (!next.empty()) {
      EXPECT_EQ(next.rfind("kx7fw --sim " + Scenario(row.scenario) + " ", 0), 0u) << next;
      EXPECT_TRUE(result["advice"].is_string()) << result.dump(2);
    }
  }
}

// A step the player refused reads REFUSED, never ok, even when the
// library goes on and the update comes out right.
TEST(Cli, ARefusedEraseIsNotOk) {
  const ToolOutput run = Kx7fw({"--sim", Scenario("fault-erase-refused"), "update"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("erasing drive 0x50: REFUSED - the player answered CHECK CONDITION to "
                         "ERASE LOGICAL DRIVE"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.LastLine().find("the player refused a command at erasing drive 0x50"),
            std::string::npos);
}

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "kx7fw-cli-" + std::to_string(getpid()) + "-" + name;
}

nlohmann::json FilesAfter(const std::vector<std::string>& args) {
  const std::string state = TempPath("state.json");
  std::vector<std::string> all = {"--sim", Scenario("songs-on-the-player"), "--save-state", state};
  all.insert(all.end(), args.begin(), args.end());
  const ToolOutput run = Kx7fw(all);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  std::ifstream in(state);
  const nlohmann::json saved = nlohmann::json::parse(in, nullptr, false);
  std::filesystem::remove(state);
  return saved.is_object() ? saved["players"][0]["files"] : nlohmann::json();
}

TEST(Cli, ARecoveryKeepsTheUsersFilesUnlessToldNot) {
  // An update leaves the data drive alone: its files are the reference.
  const nlohmann::json before = FilesAfter({"update"});
  ASSERT_TRUE(before.contains("SONG01.MP3")) << before.dump();
  EXPECT_EQ(FilesAfter({"recover", "--yes"}), before);
  const nlohmann::json discarded = FilesAfter({"recover", "--yes", "--discard-files"});
  EXPECT_FALSE(discarded.contains("SONG01.MP3")) << discarded.dump();
  EXPECT_TRUE(discarded.contains("PERSIST.BIN"));  // the settings come back from their backup
}

// The manifest on a real folder: written by the tool, read by sha256sum,
// and a folder that no longer matches it is refused before anything is
// sent to the player. --check sends nothing either.
TEST(Cli, AFolderThatDoesNotMatchItsManifestIsRefusedUntouched) {
  const std::filesystem::path folder = TempPath("firmware");
  std::filesystem::create_directories(folder);
  for (const char* name : {"firmware.sb", "updater.sb", "lba_nand_bootlet.sb"})
    std::filesystem::copy_file(std::string(KX7FW_EXAMPLE_FIRMWARE) + "/" + name, folder / name);
  const ToolOutput written = Kx7fw({"--sim", "manifest", folder.string()});
  ASSERT_EQ(written.exitCode, 0) << written.out;
  if (const auto sha256sum = FindTool("sha256sum")) {
    const ToolRun check =
        RunTool("cd " + Quote(folder.string()) + " && " + Quote(*sha256sum) + " -c kx7fw.sha256");
    EXPECT_EQ(check.exitCode, 0) << check.output;
  }
  const std::string trace = TempPath("trace.jsonl");
  const auto vendorCommands = [&] {
    std::ifstream in(trace);
    int count = 0;
    for (std::string line; std::getline(in, line);)
      if (line.find("\"cdb\":\"c1") != std::string::npos) ++count;
    return count;
  };
  const ToolOutput checked =
      Kx7fw({"--sim", "--trace", trace, "update", "--check", folder.string()});
  EXPECT_EQ(checked.exitCode, 0) << checked.out;
  EXPECT_EQ(vendorCommands(), 0);

  struct Damage {
    const char* name;
    std::function<void()> apply;
  };
  const Damage damages[] = {
      {"truncated", [&] { std::filesystem::resize_file(folder / "firmware.sb", 100000); }},
      {"swapped", [&] {
         std::filesystem::copy_file(folder / "updater.sb", folder / "firmware.sb",
                                    std::filesystem::copy_options::overwrite_existing);
       }}};
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    d.apply();
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"update"}, std::vector<std::string>{"recover", "--yes"}}) {
      std::vector<std::string> args = {"--sim", "--json", "--trace", trace};
      args.insert(args.end(), command.begin(), command.end());
      args.push_back(folder.string());
      const ToolOutput run = Kx7fw(args);
      EXPECT_EQ(run.exitCode, 3) << run.out;
      EXPECT_EQ(run.Json()["manifest"], false);
      EXPECT_EQ(run.Json()["playerState"], "unchanged");
      EXPECT_EQ(vendorCommands(), 0);
    }
  }
  std::filesystem::remove_all(folder);
  std::filesystem::remove(trace);
}

// The settings backups: listed with what they hold and since when, named
// when a recovery restores from one, removed on request.
TEST(Cli, SettingsBackupsAreListedNamedAndRemoved) {
  const std::string world = Scenario("rom-recovery");
  const nlohmann::json listed = Kx7fw({"--sim", world, "--json", "backups"}).Json();
  ASSERT_EQ(listed["backups"].size(), 1u) << listed.dump(2);
  EXPECT_EQ(listed["backups"][0]["serial"], "0000KX7T88D1E2A7");
  EXPECT_EQ(listed["backups"][0]["folder"], "C:\\Temp\\0000KX7T88D1E2A7");
  EXPECT_EQ(listed["backups"][0]["files"],
            nlohmann::json::array({"DEVDIVERSITY.INI", "PERSIST.BIN"}));
  EXPECT_EQ(listed["backups"][0]["taken"], "from before this run");

  const ToolOutput recovered = Kx7fw({"--sim", world, "recover", "--yes"});
  EXPECT_NE(recovered.out.find("restoring the settings: PERSIST.BIN, DEVCONFIG.INI (from "
                               "DEVDIVERSITY.INI) from C:\\Temp\\0000KX7T88D1E2A7 (from before "
                               "this run)"),
            std::string::npos)
      << recovered.out;

  EXPECT_EQ(Kx7fw({"--sim", world, "backups", "remove", "0000KX7T88D1E2A7"}).LastLine(),
            "kx7fw backups: done - removed the settings backup of 0000KX7T88D1E2A7 "
            "(C:\\Temp\\0000KX7T88D1E2A7)");
  EXPECT_EQ(Kx7fw({"--sim", world, "backups", "remove", "..\\Windows"}).exitCode, 3);
  EXPECT_EQ(Kx7fw({"--sim", world, "backups", "remove"}).exitCode, 2);
}

// --log records what the library exchanged with the player, in the trace's
// format: on a simulated world the two agree command for command.
TEST(Cli, TheLogHoldsEveryCommandTheTraceHolds) {
  const std::string log = TempPath("log.jsonl");
  const std::string trace = TempPath("trace.jsonl");
  ASSERT_EQ(Kx7fw({"--sim", "--log", log, "--trace", trace, "update"}).exitCode, 0);
  const auto commands = [](const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      const nlohmann::json e = nlohmann::json::parse(line);
      if (e["op"] == "scsi" || e["op"] == "hid-report")
        out.push_back(e.value("cdb", "") + e.value("data", "").substr(0, 16) + " " +
                      e.value("outcome", "") + " " + e.value("target", ""));
    }
    return out;
  };
  const std::vector<std::string> logged = commands(log);
  EXPECT_GT(logged.size(), 100u);
  EXPECT_EQ(logged, commands(trace));
  std::filesystem::remove(log);
  std::filesystem::remove(trace);
  // A log that cannot be written is refused before anything starts.
  const ToolOutput refused = Kx7fw({"--sim", "--log", "/nonexistent/log.jsonl", "update"});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_EQ(refused.out.find("updating"), std::string::npos);
}

// A scenario file with several typos is told all of them in one run.
TEST(Cli, EveryMistakeOfAScenarioFileInOneRun) {
  const std::string file = TempPath("typos.json");
  std::ofstream(file) << R"({
    "players": [{"serial": "0000KX7T4A2C19F0", "leter": "E"},
                {"serial": "0000KX7T5B3D2AE1", "letter": "G", "moed": "normal"}],
    "timings": {"rebootMS": 3000},
    "faults": [{"fault": "fail-everything"}]
  })";
  const ToolOutput run = Kx7fw({"--sim", file, "--json", "list"});
  EXPECT_EQ(run.exitCode, 3);
  const nlohmann::json result = run.Json();
  EXPECT_EQ(result["message"], "the scenario file holds 5 mistakes");
  std::vector<std::string> places;
  for (const std::string mistake : result["mistakes"]) {
    const std::size_t at = mistake.find(": /");
    places.push_back(at == std::string::npos ? mistake : mistake.substr(at + 2));
  }
  ASSERT_EQ(places.size(), 5u);
  EXPECT_EQ(places[0], "/timings/rebootMS: unknown key (did you mean \"rebootMs\"?)");
  EXPECT_EQ(places[1], "/players/0/leter: unknown key (did you mean \"letter\"?)");
  EXPECT_EQ(places[2], "/players/0: missing key \"letter\"");
  EXPECT_EQ(places[3], "/players/1/moed: unknown key");
  EXPECT_EQ(places[4].rfind("/faults/0/fault: unknown fault \"fail-everything\"", 0), 0u);
  std::filesystem::remove(file);
}

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
