// kx7fw in a real terminal (a tmux pane) at 50, 80 and 120 columns: no line
// is ever wrapped by the terminal, a recovery takes a screenful rather than a
// line per percent, and the warning before the rewrite is there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fat_oracle.h"

namespace kx7::test {
namespace {

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class Tmux {
 public:
  explicit Tmux(std::string tmux)
      : tmux_(Quote(tmux) + " -L kx7fw-test-" + std::to_string(getpid())) {}
  ~Tmux() { RunTool(tmux_ + " kill-server"); }

  // Runs `command` in a new pane of `columns` x 25 and waits until it has
  // ended; the pane's whole text, as lines, physical (`joined` false) or with
  // the terminal's own wraps undone.
  bool Run(const std::string& name, int columns, const std::string& command) {
    const std::string shell = command + "; echo EXIT=$?; sleep 600";
    if (RunTool(tmux_ + " new-session -d -x " + std::to_string(columns) + " -y 25 -s " + name +
                " " + Quote(shell))
            .exitCode != 0)
      return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Capture(name, false).find("EXIT=") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  std::string Capture(const std::string& name, bool joined) {
    return RunTool(tmux_ + " capture-pane -p -S - " + (joined ? "-J " : "") + "-t " + name).output;
  }

 private:
  std::string tmux_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

TEST(CliTerminal, ProgressFitsEveryWidth) {
  const auto tmux = FindTool("tmux");
  if (!tmux) GTEST_SKIP() << "tmux is not installed";
  struct Case {
    const char* name;
    int columns;
    std::vector<std::string> args;
    std::size_t maxLines;
  };
  const Case cases[] = {
      {"recover50", 50, {"--sim", "recover", "--yes"}, 60},
      {"recover80", 80, {"--sim", "recover", "--yes"}, 40},
      {"recover120", 120, {"--sim", "recover", "--yes"}, 40},
      {"update80", 80, {"--sim", "update"}, 30},
  };
  Tmux pane(*tmux);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string command = Quote(KX7FW_CLI_PATH);
    for (const std::string& a : c.args) command += " " + Quote(a);
    ASSERT_TRUE(pane.Run(c.name, c.columns, command));
    const std::string physical = pane.Capture(c.name, false);
    const std::vector<std::string> lines = Lines(physical);
    // Every line ended where the tool ended it: the terminal wrapped none.
    EXPECT_EQ(Lines(pane.Capture(c.name, true)).size(), lines.size()) << physical;
    for (const std::string& line : lines)
      EXPECT_LT(line.size(), static_cast<std::size_t>(c.columns)) << line;
    EXPECT_LE(lines.size(), c.maxLines) << physical;
    EXPECT_NE(physical.find("EXIT=0"), std::string::npos) << physical;
    // The warning, however it was folded.
    std::string flat;
    for (const std::string& line : lines) flat += line.substr(line.find_first_not_of(' ')) + " ";
    EXPECT_NE(flat.find("do not unplug the player or close this window"), std::string::npos)
        << physical;
  }
}

}  // namespace
}  // namespace kx7::test
