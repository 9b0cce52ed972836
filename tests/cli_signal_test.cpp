// kx7fw stopped the ways people stop it - Ctrl-C, Ctrl-\, a closed terminal,
// `kill`, a reader that went away - at the moment the rewrite has begun.
// The scenario holds the first erase's answer until a signal arrives, and the
// tool says "do not unplug" before that erase, so each signal lands inside
// the window without a guessed sleep. Nothing short of SIGKILL may leave the
// player half written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace kx7::test {
namespace {

const std::string kScenario = std::string(KX7FW_SCENARIO_DIR) + "/stall-at-first-erase.json";

struct Stopped {
  int signal = 0;  // what ended the tool, 0 for an exit
  int exitCode = -1;
  std::string out;  // standard output up to where the test stopped reading
  std::string err;
  std::string trace;
  nlohmann::json state;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `command` on `scenario`, sends `signal` once the tool has said the
// rewrite begins; with `closeAfter` the test stops reading there and closes
// the pipe (the `| head` of a shell) instead.
Stopped RunAndSignal(int signal, bool closeAfter, const std::string& scenario,
                     std::vector<std::string> command) {
  const std::string base = ::testing::TempDir() + "kx7fw-signal-" + std::to_string(getpid()) + "-" +
                           std::to_string(signal);
  const std::string errFile = base + ".err";
  const std::string traceFile = base + ".trace";
  const std::string stateFile = base + ".state";
  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, STDERR_FILENO);
    // A shell's children start with the usual dispositions.
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(s, SIG_DFL);
    std::vector<std::string> words = {"kx7fw",   "--sim",   scenario,       "--progress", "plain",
                                      "--trace", traceFile, "--save-state", stateFile};
    words.insert(words.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(KX7FW_CLI_PATH, argv.data());
    _exit(127);
  }
  close(out[1]);
  Stopped run;
  FILE* reader = fdopen(out[0], "r");
  char line[4096];
  bool sent = false;
  while (std::fgets(line, sizeof line, reader)) {
    run.out += line;
    if (!sent && std::string(line).find("do not unplug the player") != std::string::npos) {
      if (closeAfter) break;
      kill(child, signal);
      sent = true;
    }
  }
  std::fclose(reader);  // with closeAfter: the next write meets a pipe nobody reads
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  run.err = Slurp(errFile);
  run.trace = Slurp(traceFile);
  const std::string state = Slurp(stateFile);
  if (!state.empty()) run.state = nlohmann::json::parse(state, nullptr, false);
  for (const std::string& f : {errFile, traceFile, stateFile}) std::filesystem::remove(f);
  return run;
}

Stopped UpdateAndSignal(int signal, bool closeAfter) {
  return RunAndSignal(signal, closeAfter, kScenario, {"update"});
}

std::string LastLine(const std::string& text) {
  std::string t = text;
  while (!t.empty() && t.back() == '\n') t.pop_back();
  return t.substr(t.rfind('\n') + 1);
}

// The player the run left: every firmware drive holds the folder's image,
// and the player is in `mode` (restarting, when the tool stopped right after
// the reset).
void ExpectWhole(const nlohmann::json& state, const char* mode) {
  ASSERT_TRUE(state.is_object()) << "no state written";
  const nlohmann::json& player = state["players"][0];
  EXPECT_EQ(player["mode"], mode);
  int firmwareDrives = 0;
  for (const nlohmann::json& drive : player["drives"]) {
    const int tag = drive["tag"];
    if (tag != 0x50 && tag != 0x60 && tag != 0x70) continue;
    ++firmwareDrives;
    EXPECT_EQ(drive["content"], "firmware.sb") << drive.dump();
    EXPECT_EQ(drive["version"], "2.03.14") << drive.dump();
  }
  EXPECT_EQ(firmwareDrives, 3);
}

TEST(CliSignal, HeldOverTheRewriteThenActedOn) {
  struct Case {
    int signal;
    const char* name;
  };
  const Case cases[] = {{SIGINT, "SIGINT (Ctrl-C)"},
                        {SIGTERM, "SIGTERM"},
                        {SIGHUP, "SIGHUP (the terminal was closed)"},
                        {SIGQUIT, "SIGQUIT (Ctrl-\\)"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Stopped run = UpdateAndSignal(c.signal, false);
    // It stops by the signal, as a shell expects, once the player is whole.
    EXPECT_EQ(run.signal, c.signal) << run.out << run.err;
    EXPECT_NE(run.err.find("kx7fw: " + std::string(c.name) + " held"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("stopping for " + std::string(c.name)), std::string::npos) << run.err;
    EXPECT_EQ(LastLine(run.out),
              "kx7fw update: stopped by " + std::string(c.name) +
                  " - firmware 2.03 is written and verified and the player restarts; next: once "
                  "it is back, look at it: kx7fw --sim " +
                  kScenario + " info 0000KX7T4A2C19F0");
    ExpectWhole(run.state, "restarting");
    // The trace was written as the run went, up to the chip reset.
    EXPECT_NE(run.trace.find("\"cdb\":\"c131"), std::string::npos);
  }
}

TEST(CliSignal, AReaderThatGoesAwayDoesNotEndTheTool) {
  const Stopped run = UpdateAndSignal(SIGPIPE, true);
  EXPECT_EQ(run.signal, 0) << run.err;
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ExpectWhole(run.state, "normal");
  EXPECT_EQ(run.state["players"][0]["letter"], "E");
}

// A recovery that keeps the user's files holds the signals until they are
// back on the rebuilt player, not only until the reset.
TEST(CliSignal, ARecoveryHoldsThemUntilTheFilesAreBack) {
  std::ifstream songs(std::string(KX7FW_SCENARIO_DIR) + "/songs-on-the-player.json");
  nlohmann::json world = nlohmann::json::parse(songs);
  world["faults"] = nlohmann::json::array({{{"fault", "stall"}, {"cdb", "c1 2f"}, {"ms", 60000}}});
  const std::string scenario =
      ::testing::TempDir() + "kx7fw-signal-songs-" + std::to_string(getpid()) + ".json";
  std::ofstream(scenario) << world.dump();
  const Stopped run = RunAndSignal(SIGTERM, false, scenario, {"recover", "--yes"});
  std::filesystem::remove(scenario);
  EXPECT_EQ(run.signal, SIGTERM) << run.out << run.err;
  EXPECT_NE(run.out.find("put back 4 files"), std::string::npos) << run.out;
  ASSERT_TRUE(run.state.is_object()) << run.err;
  const nlohmann::json& files = run.state["players"][0]["files"];
  for (const char* name : {"SONG01.MP3", "SONG02.MP3", "PLAYLIST.M3U", "PERSIST.BIN"})
    EXPECT_TRUE(files.contains(name)) << name << " " << files.dump();
  EXPECT_EQ(LastLine(run.out).rfind("kx7fw recover: stopped by SIGTERM", 0), 0u) << run.out;
}

}  // namespace
}  // namespace kx7::test
