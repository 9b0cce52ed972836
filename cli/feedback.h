#pragma once

// How the tool shows an update while it runs: each step as it starts, its
// one counter (bytes moved, seconds waited) drawn in place on a terminal and
// cut to the terminal's width, or finished steps as plain lines, or JSON
// Lines on standard error. Before the rewrite of the player's drives begins
// it says how long that takes and not to unplug the player; from then until
// the chip reset the signals that would end the tool are held
// (signal_window.h). It also remembers how the steps ended, so that the
// command can name the one that failed.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "util/progress.h"

namespace kx7::cli {

// Auto: drawn in place on a terminal, plain lines otherwise.
enum class ProgressStyle { Auto, Terminal, Plain, Json, None };

// An amount of bytes for people: "256 bytes", "300.1 KiB", "2.3 MiB".
std::string Bytes(std::uint64_t bytes);

class Feedback final : public ProgressObserver {
 public:
  // What the traffic of a step showed, asked as the step ends: why the
  // player refused one of its commands, or why one never reached it; "" for
  // neither.
  struct StepTraffic {
    std::function<void()> mark;  // a step begins
    std::function<std::string()> refusal;
    std::function<std::string()> undelivered;
    // What a step that went well did, when "ok" would not say it (the
    // settings restore: which files, from which backup - or none).
    std::function<std::string(Step)> note;
    // What a step that reported success did not do all the same (the
    // switch to recovery mode never sent or never taken); "" for nothing.
    std::function<std::string(Step)> missing;
  };

  // `seconds` tells the time to show next to each step (virtual time on a
  // simulated world); `columns` the terminal's width, asked at each draw.
  Feedback(ProgressStyle style, std::function<double()> seconds,
           std::function<int()> columns = nullptr);
  ~Feedback() override;
  Feedback(const Feedback&) = delete;
  Feedback& operator=(const Feedback&) = delete;

  void SetTraffic(StepTraffic traffic) { traffic_ = std::move(traffic); }
  // How long the rewrite takes, for the line that comes before it, and what
  // holds the tool after it (a recovery that puts the user's files back).
  // `began` is called as the rewrite begins.
  void ExpectRewrite(double seconds, std::string until = "the player is reset",
                     std::function<void()> began = nullptr);

  void StepStarted(Step step, std::uint8_t driveTag) override;
  void StepEnded(Step step, std::uint8_t driveTag, bool succeeded) override;
  void Transferred(std::uint64_t done, std::uint64_t total) override;
  void Waited(std::uint32_t elapsedMs, std::uint32_t totalMs) override;

  // The operation returned: whatever step was drawn is finished, and held
  // signals are acted on.
  void OperationEnded();
  // A line of the tool's own among the steps (a terminal's drawn step is
  // finished first).
  void Note(const std::string& text);

  // The first step that did not end well, as its line named it, and why.
  const std::optional<std::string>& FailedStep() const { return failedStep_; }
  const std::string& FailedWhy() const { return failedWhy_; }
  // Steps ended well, by kind.
  int Verified() const { return verified_; }
  bool Reached(Step step) const;
  bool RewriteBegan() const { return rewriteBegan_; }
  void ForgetSteps();

 private:
  std::string StepTitle() const;
  void Draw();
  void Line(const std::string& text);
  void Json(const std::string& object);
  int Columns() const;

  ProgressStyle style_;
  std::function<double()> seconds_;
  std::function<int()> columns_;
  StepTraffic traffic_;
  double rewriteSeconds_ = 0;
  std::string rewriteUntil_ = "the player is reset";
  std::function<void()> rewriteBegins_;
  bool rewriteBegan_ = false;

  Step step_ = Step::SwitchToRecovery;
  std::uint8_t tag_ = 0;
  bool drawn_ = false;  // a line is being redrawn in place
  std::string lastDrawn_;
  // The step's counter: transfers and waits add up and never restart.
  std::uint64_t bytesBase_ = 0;
  std::uint64_t bytes_ = 0;
  std::uint64_t totalBytes_ = 0;
  std::uint64_t waitedBase_ = 0;  // ms of the step's finished waits
  std::uint64_t waiting_ = 0;     // ms into the current wait
  std::uint64_t waitTotal_ = 0;   // ms of the step's waits seen so far
  int lastPercent_ = -1;

  std::optional<std::string> failedStep_;
  std::string failedWhy_;
  int verified_ = 0;
  std::uint32_t reached_ = 0;  // bit per step kind that ended well
};

}  // namespace kx7::cli
