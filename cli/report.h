#pragma once

// What a command tells the person or the script that ran it: lines of text
// as it goes, then one stable final line; or, with --json, one JSON object
// and nothing else on standard output.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "cli/results.h"

namespace kx7::cli {

class Report {
 public:
  // Text for people, one JSON object, or nothing at all (a command run as
  // part of another, which reports for both).
  enum class Style { Text, Json, Silent };

  Report(std::string command, Style style) : command_(std::move(command)), style_(style) {}

  Style OutputStyle() const { return style_; }
  // A line for people; nothing in JSON mode.
  void Say(const std::string& line) const;
  // The JSON result object, filled as the command goes.
  nlohmann::json& Data() { return data_; }

  // Ends the command: the final line (or the JSON object) and the exit code.
  int Done(const std::string& note = "");
  int Succeeded(Operation operation, int result);
  int Failed(Operation operation, int result);
  int Failed(const std::string& why);
  int Refused(const std::string& why);
  // A library result that answers a question rather than reports success.
  int Answered(Operation operation, int result, const std::string& answer);

 private:
  int Finish(const char* outcome, int exitCode, const std::string& text,
             std::optional<std::pair<Operation, int>> result);

  std::string command_;
  Style style_;
  nlohmann::json data_ = nlohmann::json::object();
};

}  // namespace kx7::cli
