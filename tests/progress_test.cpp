// What a host application following an update sees: every step in order,
// the bytes of every transfer and the time of every fixed wait.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "kx7fw/kx7fw.h"
#include "sim/scenario/default_scenario.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

using sim::DefaultScenario;

// Each step as "name tag" with the byte total of its transfers and the
// totals of its fixed waits.
struct StepRecord {
  Step step;
  std::uint8_t tag;
  bool ended = false;
  bool succeeded = false;
  std::uint64_t bytesDone = 0;
  std::uint64_t bytesTotal = 0;
  std::vector<std::uint32_t> waits;
};

class Recorder : public ProgressObserver {
 public:
  void StepStarted(Step step, std::uint8_t tag) override {
    EXPECT_TRUE(steps.empty() || steps.back().ended) << "steps do not nest";
    steps.push_back({step, tag});
  }
  void StepEnded(Step step, std::uint8_t tag, bool succeeded) override {
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back().step, step);
    EXPECT_EQ(steps.back().tag, tag);
    steps.back().ended = true;
    steps.back().succeeded = succeeded;
  }
  void Transferred(std::uint64_t done, std::uint64_t total) override {
    ASSERT_FALSE(steps.empty());
    StepRecord& s = steps.back();
    EXPECT_FALSE(s.ended);
    EXPECT_GE(done, s.bytesDone) << "progress never goes back";
    EXPECT_LE(done, total);
    s.bytesDone = done;
    s.bytesTotal = total;
  }
  void Waited(std::uint32_t elapsed, std::uint32_t total) override {
    ASSERT_FALSE(steps.empty());
    EXPECT_LE(elapsed, total);
    if (elapsed == total) steps.back().waits.push_back(total);
  }

  // "step:tag" per step, for comparing the order.
  std::vector<std::string> Order() const {
    std::vector<std::string> out;
    for (const StepRecord& s : steps) {
      std::string line = StepName(s.step);
      if (s.tag) line += " " + std::to_string(s.tag);
      out.push_back(line);
    }
    return out;
  }
  const StepRecord& Find(Step step, std::uint8_t tag = 0) const {
    for (const StepRecord& s : steps)
      if (s.step == step && s.tag == tag) return s;
    static const StepRecord none{};
    ADD_FAILURE() << "no step " << StepName(step);
    return none;
  }

  std::vector<StepRecord> steps;
};

class ProgressTest : public SimFixture {
 protected:
  ProgressTest() {
    sim::BuildDefaultScenario(world);
    library.SetProgressObserver(&recorder);
  }
  std::vector<std::string> DriveSteps(std::initializer_list<Step> steps, bool verify) {
    std::vector<std::string> out;
    for (std::uint8_t tag : {0x50, 0x60, 0x70})
      for (Step step : steps)
        out.push_back(std::string(StepName(step)) + " " + std::to_string(tag));
    if (verify)
      for (std::uint8_t tag : {0x50, 0x60, 0x70})
        out.push_back(std::string(StepName(Step::VerifyDrive)) + " " + std::to_string(tag));
    return out;
  }

  Recorder recorder;
  const std::string kFolder = DefaultScenario::kFirmwareFolder;
  const std::size_t firmwareSize = sim::DefaultFirmwareFile().size();
};

TEST_F(ProgressTest, NormalUpdateStepByStep) {
  ASSERT_EQ(library.DoNormalUpdate(DefaultScenario::kSerial, kFolder.c_str()), 0);

  std::vector<std::string> expected = {
      StepName(Step::SwitchToRecovery), StepName(Step::WaitForRecoveryDevice),
      StepName(Step::DownloadUpdater), StepName(Step::WaitForUpdaterDrive)};
  const auto drives = DriveSteps({Step::EraseDrive, Step::StampVersions, Step::WriteDrive}, true);
  expected.insert(expected.end(), drives.begin(), drives.end());
  expected.push_back(StepName(Step::ResetChip));
  EXPECT_EQ(recorder.Order(), expected);
  for (const StepRecord& s : recorder.steps) {
    EXPECT_TRUE(s.ended);
    EXPECT_TRUE(s.succeeded || s.step == Step::ResetChip) << StepName(s.step);
  }

  // Transfers count the bytes of the files they carry.
  const StepRecord& download = recorder.Find(Step::DownloadUpdater);
  EXPECT_EQ(download.bytesTotal, sim::DefaultUpdaterFile().size());
  EXPECT_EQ(download.bytesDone, download.bytesTotal);
  for (std::uint8_t tag : {0x50, 0x60, 0x70})
    for (Step step : {Step::WriteDrive, Step::VerifyDrive}) {
      EXPECT_EQ(recorder.Find(step, tag).bytesTotal, firmwareSize);
      EXPECT_EQ(recorder.Find(step, tag).bytesDone, firmwareSize);
    }

  // The fixed waits, where they belong.
  using Waits = std::vector<std::uint32_t>;
  EXPECT_EQ(recorder.Find(Step::WaitForRecoveryDevice).waits, Waits{15000});
  EXPECT_EQ(download.waits, Waits{5000});
  EXPECT_EQ(recorder.Find(Step::WaitForUpdaterDrive).waits, (Waits{15000, 5000, 5000}));
  // The unlock tries on the handle the chip reset took.
  EXPECT_EQ(recorder.Find(Step::ResetChip).waits, Waits(10, 100));
  EXPECT_EQ(Now(), 46000u);
}

TEST_F(ProgressTest, RecoveryUpdateStepByStep) {
  world.unplug(0, Now());
  world.plugInForRecovery(0, Now());
  ASSERT_EQ(library.DoRecoveryUpdate("", kFolder.c_str()), 0);

  std::vector<std::string> expected = {StepName(Step::DownloadUpdater),
                                       StepName(Step::WaitForUpdaterDrive),
                                       StepName(Step::ReallocateMedia)};
  const auto drives = DriveSteps({Step::EraseDrive, Step::StampVersions, Step::WriteDrive}, true);
  expected.insert(expected.end(), drives.begin(), drives.end());
  expected.insert(expected.end(),
                  {std::string(StepName(Step::ResetSettingsDrive)) + " 12",
                   std::string(StepName(Step::FormatDataDrive)) + " 10",
                   std::string(StepName(Step::WriteBootlet)) + " 160", StepName(Step::ResetChip),
                   StepName(Step::WaitForRestart), StepName(Step::RestoreSettings)});
  EXPECT_EQ(recorder.Order(), expected);

  EXPECT_EQ(recorder.Find(Step::WriteBootlet, 0xA0).bytesTotal, sim::DefaultBootletFile().size());
  // The format counts every sector it writes, to the last.
  const StepRecord& format = recorder.Find(Step::FormatDataDrive, 0x0A);
  EXPECT_GT(format.bytesTotal, 0u);
  EXPECT_EQ(format.bytesDone, format.bytesTotal);
  using Waits = std::vector<std::uint32_t>;
  EXPECT_EQ(recorder.Find(Step::WaitForUpdaterDrive).waits, (Waits{10000, 5000, 2000}));
  EXPECT_EQ(format.waits, (Waits{5000, 100, 5000}));
  EXPECT_EQ(recorder.Find(Step::WaitForRestart).waits, Waits{7000});
  EXPECT_EQ(recorder.Find(Step::RestoreSettings).waits, Waits{5000});
}

TEST_F(ProgressTest, AFailingStepEndsFailedAndNothingFollows) {
  world.faults().corruptDriveRead(0x60, 10);
  ASSERT_EQ(library.DoNormalUpdate(DefaultScenario::kSerial, kFolder.c_str()), 7);
  ASSERT_FALSE(recorder.steps.empty());
  const StepRecord& last = recorder.steps.back();
  EXPECT_EQ(last.step, Step::VerifyDrive);
  EXPECT_EQ(last.tag, 0x60);
  EXPECT_TRUE(last.ended);
  EXPECT_FALSE(last.succeeded);
}

}  // namespace
}  // namespace kx7::test
