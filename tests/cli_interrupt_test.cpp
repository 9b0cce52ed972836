// Ctrl-C while the tool follows an update: refused with a warning from the
// first erase until the chip reset, since stopping then leaves the player
// unusable; anywhere else it stops the tool as usual.
#include <gtest/gtest.h>

#include <csignal>

#include "cli/feedback.h"

namespace kx7::cli {
namespace {

TEST(CliInterrupt, RefusedWhileTheDrivesAreRewritten) {
  InstallInterruptGuard();
  Feedback feedback(ProgressStyle::None, [] { return 0.0; });
  for (Step first : {Step::EraseDrive, Step::ReallocateMedia}) {
    feedback.StepStarted(first, 0x50);
    ::testing::internal::CaptureStderr();
    std::raise(SIGINT);  // the process lives on
    const std::string warning = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(warning.find("not now"), std::string::npos) << warning;
    feedback.StepEnded(first, 0x50, true);
    feedback.StepStarted(Step::ResetChip, 0);
    feedback.StepEnded(Step::ResetChip, 0, true);
  }
}

TEST(CliInterruptDeathTest, StopsTheToolBeforeAndAfter) {
  const auto interruptAt = [](bool afterReset) {
    InstallInterruptGuard();
    Feedback feedback(ProgressStyle::None, [] { return 0.0; });
    feedback.StepStarted(Step::WaitForRecoveryDevice, 0);
    if (afterReset) {
      feedback.StepStarted(Step::EraseDrive, 0x50);
      feedback.StepStarted(Step::ResetChip, 0);
      feedback.StepEnded(Step::ResetChip, 0, true);
    }
    std::raise(SIGINT);
  };
  EXPECT_EXIT(interruptAt(false), ::testing::KilledBySignal(SIGINT), "");
  EXPECT_EXIT(interruptAt(true), ::testing::KilledBySignal(SIGINT), "");
  // An operation that ends on a failure lets Ctrl-C work again too.
  EXPECT_EXIT(
      {
        InstallInterruptGuard();
        Feedback feedback(ProgressStyle::None, [] { return 0.0; });
        feedback.StepStarted(Step::EraseDrive, 0x50);
        feedback.StepEnded(Step::EraseDrive, 0x50, false);
        feedback.OperationEnded();
        std::raise(SIGINT);
      },
      ::testing::KilledBySignal(SIGINT), "");
}

}  // namespace
}  // namespace kx7::cli
