#pragma once

// What a command tells the person or the script that ran it: lines of text
// as it goes, then one stable final line; or, with --json, one JSON object
// and nothing else on standard output.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "cli/results.h"

namespace kx7::cli {

// Where a command leaves the player, for the final line and --json: the
// step that failed as the progress named it, the player's state (a code
// for scripts and a text for people) and the one thing to do next.
struct PlayerOutcome {
  std::optional<std::string> failedStep;
  std::string state;      // "unchanged", "firmware-untouched", "needs-recovery", ...
  std::string stateText;  // "its firmware is untouched (1.01)"
  std::string advice;     // "unplug the player and plug it in again, then run"
  std::optional<std::string> nextCommand;  // pasteable into a shell
};

class Report {
 public:
  // Text for people, one JSON object, or nothing at all (a command run as
  // part of another, which reports for both).
  enum class Style { Text, Json, Silent };

  Report(std::string command, Style style) : command_(std::move(command)), style_(style) {}

  Style OutputStyle() const { return style_; }
  const std::string& Command() const { return command_; }
  // A line for people; nothing in JSON mode.
  void Say(const std::string& line) const;
  // The JSON result object, filled as the command goes.
  nlohmann::json& Data() { return data_; }
  // What the final line says of the player; kept for the end.
  void Tell(PlayerOutcome outcome);
  bool Finished() const { return finished_; }

  // Ends the command: the final line (or the JSON object) and the exit code.
  int Done(const std::string& note = "");
  int Succeeded(Operation operation, int result, const std::string& note = "");
  int Failed(Operation operation, int result);
  int Failed(const std::string& why);
  int Refused(const std::string& why);
  // A library result that answers a question rather than reports success.
  int Answered(Operation operation, int result, const std::string& answer,
               const std::string& note = "");
  // An answer the tool found without the library's word for it.
  int Answered(const std::string& answer, const std::string& note = "");
  // A held signal stops the tool: the last word before it goes.
  int Stopped(const std::string& signal);

 private:
  int Finish(const char* outcome, int exitCode, const std::string& text,
             std::optional<std::pair<Operation, int>> result);

  std::string command_;
  Style style_;
  nlohmann::json data_ = nlohmann::json::object();
  std::optional<PlayerOutcome> outcome_;
  bool finished_ = false;
};

}  // namespace kx7::cli
