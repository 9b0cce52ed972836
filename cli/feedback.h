#pragma once

// How the tool shows an update while it runs: each step as it starts, with
// its transfer and wait progress drawn in place on a terminal, or as plain
// lines, or as JSON Lines on standard error. It also keeps Ctrl-C from
// stopping the tool while the player's drives are being rewritten.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "util/progress.h"

namespace kx7::cli {

// Auto: drawn in place on a terminal, plain lines otherwise.
enum class ProgressStyle { Auto, Terminal, Plain, Json, None };

class Feedback final : public ProgressObserver {
 public:
  // `seconds` tells the time to show next to each step (virtual time on a
  // simulated world).
  Feedback(ProgressStyle style, std::function<double()> seconds);
  ~Feedback() override;
  Feedback(const Feedback&) = delete;
  Feedback& operator=(const Feedback&) = delete;

  void StepStarted(Step step, std::uint8_t driveTag) override;
  void StepEnded(Step step, std::uint8_t driveTag, bool succeeded) override;
  void Transferred(std::uint64_t done, std::uint64_t total) override;
  void Waited(std::uint32_t elapsedMs, std::uint32_t totalMs) override;

  // The operation returned: whatever step was drawn is finished and Ctrl-C
  // works again.
  void OperationEnded();

 private:
  std::string StepTitle() const;
  void Draw(const std::string& detail);
  void Line(const std::string& text);
  void Json(const std::string& object);

  ProgressStyle style_;
  std::function<double()> seconds_;
  Step step_ = Step::SwitchToRecovery;
  std::uint8_t tag_ = 0;
  bool drawn_ = false;  // a line is being redrawn in place
  std::uint64_t bytes_ = 0;
  std::uint64_t totalBytes_ = 0;
  std::uint64_t waitedMs_ = 0;
  int lastPercent_ = -1;
};

// Ctrl-C is refused, with a warning, while the player's drives are being
// rewritten; otherwise it stops the tool as usual.
void InstallInterruptGuard();

}  // namespace kx7::cli
