#include "cli/report.h"

#include "cli/console.h"

namespace kx7::cli {

namespace {

nlohmann::json OrNull(const std::optional<std::string>& text) {
  return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

}  // namespace

namespace {

// On a terminal a line is folded to its width rather than wrapped by it.
void Line(const std::string& text) {
  if (console::OutIsTerminal())
    console::Out(console::Fold(text, console::Columns(), 2));
  else
    console::Out(text + "\n");
}

}  // namespace

void Report::Say(const std::string& line) const {
  if (style_ == Style::Text) Line(line);
}

void Report::Tell(PlayerOutcome outcome) {
  outcome_ = std::move(outcome);
}

int Report::Finish(const char* outcome, int exitCode, const std::string& text,
                   std::optional<std::pair<Operation, int>> result) {
  finished_ = true;
  std::string line = "kx7fw " + command_ + ": " + outcome;
  if (outcome_ && outcome_->failedStep) line += " at " + *outcome_->failedStep;
  if (result) {
    line += " (result " + std::to_string(result->second) + ": " +
            ResultMeaning(result->first, result->second) + ")";
  }
  std::string said = text;
  if (outcome_) {
    if (!outcome_->stateText.empty()) said += (said.empty() ? "" : "; ") + outcome_->stateText;
    if (!outcome_->advice.empty()) {
      said += (said.empty() ? "next: " : "; next: ") + outcome_->advice;
      if (outcome_->nextCommand) said += " " + *outcome_->nextCommand;
    }
  }
  if (!said.empty()) line += " - " + said;
  const auto fill = [&](nlohmann::json& j) {
    j["outcome"] = outcome;
    j["exitCode"] = exitCode;
    if (result) {
      j["result"] = result->second;
      j["meaning"] = ResultMeaning(result->first, result->second);
    }
    if (!text.empty()) j["message"] = text;
    if (outcome_) {
      j["failedStep"] = OrNull(outcome_->failedStep);
      j["playerState"] = outcome_->state;
      j["playerStateText"] = outcome_->stateText;
      j["advice"] =
          outcome_->advice.empty() ? nlohmann::json(nullptr) : nlohmann::json(outcome_->advice);
      j["nextCommand"] = OrNull(outcome_->nextCommand);
    }
  };
  if (style_ == Style::Silent) {
    fill(data_);
    return exitCode;
  }
  if (style_ == Style::Json) {
    data_["command"] = command_;
    fill(data_);
    console::Out(data_.dump(2) + "\n");
  } else {
    Line(line);
  }
  return exitCode;
}

int Report::Done(const std::string& note) {
  return Finish("done", exit_code::kDone, note, std::nullopt);
}

int Report::Succeeded(Operation operation, int result, const std::string& note) {
  return Finish("done", exit_code::kDone, note, std::make_pair(operation, result));
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

int Report::Answered(Operation operation, int result, const std::string& answer,
                     const std::string& note) {
  return Finish(answer.c_str(), exit_code::kDone, note, std::make_pair(operation, result));
}

int Report::Answered(const std::string& answer, const std::string& note) {
  return Finish(answer.c_str(), exit_code::kDone, note, std::nullopt);
}

int Report::Stopped(const std::string& signal) {
  return Finish(("stopped by " + signal).c_str(), exit_code::kFailed, "", std::nullopt);
}

}  // namespace kx7::cli
