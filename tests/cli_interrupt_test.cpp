// The signals that end the tool, while it follows an update: held (blocked,
// so that a system call in flight is never cut short) from the first erase
// until the chip reset and acted on right after it; anywhere else they stop
// the tool as usual.
#include <gtest/gtest.h>

#include <csignal>

#include "cli/feedback.h"
#include "cli/signal_window.h"

namespace kx7::cli {
namespace {

// Each case runs in a child process: the signal is raised inside the
// window, the child must live to the end of the window (it says so on
// standard error) and then die by that signal.
TEST(CliInterruptDeathTest, HeldFromTheFirstEraseUntilTheReset) {
  for (Step first : {Step::EraseDrive, Step::ReallocateMedia}) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      SCOPED_TRACE(std::string(StepName(first)) + " " + SignalWindow::Name(signal));
      const auto run = [first, signal] {
        Feedback feedback(ProgressStyle::None, [] { return 0.0; });
        feedback.StepStarted(first, 0x50);
        std::raise(signal);
        feedback.StepEnded(first, 0x50, true);
        feedback.StepStarted(Step::ResetChip, 0);
        std::fputs("lived to the reset\n", stderr);
        feedback.StepEnded(Step::ResetChip, 0, true);
        std::fputs("lived past the reset\n", stderr);
      };
      EXPECT_EXIT(run(), ::testing::KilledBySignal(signal), "lived to the reset\n.*stopping for");
    }
  }
}

TEST(CliInterruptDeathTest, StopsTheToolBeforeAndAfter) {
  const auto interruptAt = [](bool afterReset) {
    Feedback feedback(ProgressStyle::None, [] { return 0.0; });
    feedback.StepStarted(Step::WaitForRecoveryDevice, 0);
    if (afterReset) {
      feedback.StepStarted(Step::EraseDrive, 0x50);
      feedback.StepStarted(Step::ResetChip, 0);
      feedback.StepEnded(Step::ResetChip, 0, true);
    }
    std::raise(SIGTERM);
    std::fputs("lived on\n", stderr);
  };
  EXPECT_EXIT(interruptAt(false), ::testing::KilledBySignal(SIGTERM), "^$");
  EXPECT_EXIT(interruptAt(true), ::testing::KilledBySignal(SIGTERM), "^$");
  // An operation that ends on a failure closes the window too.
  EXPECT_EXIT(
      {
        Feedback feedback(ProgressStyle::None, [] { return 0.0; });
        feedback.StepStarted(Step::EraseDrive, 0x50);
        feedback.StepEnded(Step::EraseDrive, 0x50, false);
        feedback.OperationEnded();
        std::raise(SIGINT);
        std::fputs("lived on\n", stderr);
      },
      ::testing::KilledBySignal(SIGINT), "^$");
}

}  // namespace
}  // namespace kx7::cli
