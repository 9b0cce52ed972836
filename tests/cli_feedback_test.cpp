// The tool's text progress as a person reads it: each finished step with
// what it moved and how long it waited, in the unit that fits, and the
// line drawn in place on a terminal.
#include <gtest/gtest.h>

#include <functional>

#include "cli/feedback.h"

namespace kx7::cli {
namespace {

struct Shown {
  const char* name;
  ProgressStyle style;
  std::function<void(Feedback&)> events;
  const char* text;
  int columns = 80;
};

TEST(CliFeedback, TextProgressNamesItsUnits) {
  const Shown cases[] = {
      {"bytes below a KiB", ProgressStyle::Plain,
       [](Feedback& f) {
         f.StepStarted(Step::ResetSettingsDrive, 0);
         f.Transferred(256, 256);
         f.StepEnded(Step::ResetSettingsDrive, 0, true);
       },
       "  [   12.5 s] resetting the settings drive: ok, 256 bytes\n"},
      {"KiB with one decimal", ProgressStyle::Plain,
       [](Feedback& f) {
         f.StepStarted(Step::WriteDrive, 0x50);
         f.Transferred(65536, 307323);
         f.Transferred(307323, 307323);
         f.StepEnded(Step::WriteDrive, 0x50, true);
       },
       "  [   12.5 s] writing drive 0x50: ok, 300.1 KiB\n"},
      {"MiB, and a failure", ProgressStyle::Plain,
       [](Feedback& f) {
         f.StepStarted(Step::FormatDataDrive, 0x0A);
         f.Transferred(3 << 20, 5 << 20);
         f.StepEnded(Step::FormatDataDrive, 0x0A, false);
       },
       "  [   12.5 s] formatting the data drive: FAILED, 3.0 MiB\n"},
      {"waits in seconds", ProgressStyle::Plain,
       [](Feedback& f) {
         f.StepStarted(Step::WaitForRecoveryDevice, 0);
         f.Waited(2500, 15000);
         f.Waited(15000, 15000);
         f.StepEnded(Step::WaitForRecoveryDevice, 0, true);
       },
       "  [   12.5 s] waiting for the recovery device: ok, waited 15.0 s\n"},
      {"drawn in place on a terminal", ProgressStyle::Terminal,
       [](Feedback& f) {
         f.StepStarted(Step::VerifyDrive, 0x60);
         f.Transferred(1 << 19, 1 << 20);
         f.Waited(500, 2000);
       },
       // The step's one counter: the wait adds to the bytes, the bar gives
       // way when the line would not fit.
       "\r\033[K  [   12.5 s] verifying drive 0x60"
       "\r\033[K  [   12.5 s] verifying drive 0x60  [#############.............] 50% of 1.0 MiB"
       "\r\033[K  [   12.5 s] verifying drive 0x60  50% of 1.0 MiB, waiting 0.5 of 2.0 s\n"},
      {"cut to a narrow terminal, never wrapped", ProgressStyle::Terminal,
       [](Feedback& f) {
         f.StepStarted(Step::WriteDrive, 0x50);
         f.Transferred(1 << 19, 1 << 20);
       },
       "\r\033[K  [   12.5 s] writing drive 0x50"
       "\r\033[K  [   12.5 s] writing drive 0x50  50% of 1.0 \n",
       46},
  };
  for (const Shown& c : cases) {
    SCOPED_TRACE(c.name);
    ::testing::internal::CaptureStdout();
    {
      Feedback feedback(
          c.style, [] { return 12.5; }, [&c] { return c.columns; });
      c.events(feedback);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.text);
  }
}

}  // namespace
}  // namespace kx7::cli
