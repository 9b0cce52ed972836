#include "cli/report.h"

#include <cstdio>

namespace kx7::cli {

void Report::Say(const std::string& line) const {
  if (style_ == Style::Text) std::printf("%s\n", line.c_str());
}

int Report::Finish(const char* outcome, int exitCode, const std::string& text,
                   std::optional<std::pair<Operation, int>> result) {
  std::string line = "kx7fw " + command_ + ": " + outcome;
  if (result) {
    line += " (result " + std::to_string(result->second) + ": " +
            ResultMeaning(result->first, result->second) + ")";
  }
  if (!text.empty()) line += " - " + text;
  if (style_ == Style::Silent) {
    data_["outcome"] = outcome;
    data_["exitCode"] = exitCode;
    if (result) data_["result"] = result->second;
    return exitCode;
  }
  if (style_ == Style::Json) {
    data_["command"] = command_;
    data_["outcome"] = outcome;
    data_["exitCode"] = exitCode;
    if (result) {
      data_["result"] = result->second;
      data_["meaning"] = ResultMeaning(result->first, result->second);
    }
    if (!text.empty()) data_["message"] = text;
    std::printf("%s\n", data_.dump(2).c_str());
  } else {
    std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
  return exitCode;
}

int Report::Done(const std::string& note) {
  return Finish("done", exit_code::kDone, note, std::nullopt);
}

int Report::Succeeded(Operation operation, int result) {
  return Finish("done", exit_code::kDone, "", std::make_pair(operation, result));
}

int Report::Failed(Operation operation, int result) {
  return Finish("failed", exit_code::kFailed, "", std::make_pair(operation, result));
}

int Report::Failed(const std::string& why) {
  return Finish("failed", exit_code::kFailed, why, std::nullopt);
}

int Report::Refused(const std::string& why) {
  return Finish("refused", exit_code::kRefused, why, std::nullopt);
}

int Report::Answered(Operation operation, int result, const std::string& answer) {
  return Finish(answer.c_str(), exit_code::kDone, "", std::make_pair(operation, result));
}

}  // namespace kx7::cli
