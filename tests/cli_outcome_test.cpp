// kx7fw's outcomes as a script and a person read them, through the
// executable on scenario files: the failed step, the player's state and the
// next command; the user's files over a recovery; the manifest; the settings
// backups; --log; a scenario file's mistakes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_tool.h"
#include "support/fat_oracle.h"

namespace kx7::test {
namespace {

using namespace cli_tool;

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

}  // namespace
}  // namespace kx7::test
