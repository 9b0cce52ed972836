#pragma once

// kx7fw run as a shell runs it, for the suites that test the tool through
// its executable: exit code, standard output and standard error.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "sim/scenario/default_scenario.h"

namespace kx7::test::cli_tool {

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

inline std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline ToolOutput Kx7fw(const std::vector<std::string>& args) {
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

inline const std::string kFolder = sim::DefaultScenario::kFirmwareFolder;
#define PROGRAM_FILES_FOLDER "C:\\Program Files\\Korvane\\Tessio Updater\\Firmware\\"
inline const std::string kSerial = sim::DefaultScenario::kSerial;

inline std::string Scenario(const char* name) {
  return std::string(KX7FW_SCENARIO_DIR) + "/" + name + ".json";
}

inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "kx7fw-cli-" + std::to_string(getpid()) + "-" + name;
}

}  // namespace kx7::test::cli_tool
