// One test per row of the fault matrix: the operation runs with the fault in
// place, and the result, what the player and host are left with and the
// invariants of every run are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "fault_matrix/describe.h"
#include "fault_matrix/run_row.h"

namespace kx7::matrix {
namespace {

class FaultMatrixTest : public ::testing::TestWithParam<std::size_t> {};

void CheckRow(const Row& row, sim::OsPreset host) {
  SCOPED_TRACE(row.step + ": " + DescribeFault(row.fault));
  const Observed seen = RunRow(row, host);

  EXPECT_EQ(seen.result, row.result);
  for (const std::string& violation : seen.violations) ADD_FAILURE() << violation;
  EXPECT_EQ(DescribePlayer(seen.left), DescribePlayer(row.left));
  EXPECT_EQ(seen.left.backup, row.left.backup);
  if (row.operation == Operation::GetDeviceInfo || row.operation == Operation::MSCDeviceList) {
    EXPECT_EQ(seen.left.record, row.left.record);
  }
}

TEST_P(FaultMatrixTest, GivesItsCodeAndLeavesWhatItShould) {
  CheckRow(FaultMatrix().at(GetParam()), sim::OsPreset::Windows7);
}

// Windows 10 leaves the traces of Windows 7 and takes the same roads: every
// row, in one test, on a Windows 10 host.
TEST(FaultMatrixOnWindows10, EveryRowAsOnWindows7) {
  for (const Row& row : FaultMatrix()) CheckRow(row, sim::OsPreset::Windows10);
}

std::vector<std::size_t> AllRows() {
  std::vector<std::size_t> indices(FaultMatrix().size());
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
  return indices;
}

std::string RowName(const ::testing::TestParamInfo<std::size_t>& info) {
  static const char* const kNames[] = {"MSCDeviceList", "GetDeviceInfo", "NeedRecovery",
                                       "DoNormalUpdate", "DoRecoveryUpdate"};
  const Row& row = FaultMatrix().at(info.param);
  std::string name = kNames[static_cast<int>(row.operation)];
  name += '_';
  name += std::to_string(info.param);
  name += '_';
  for (char c : row.step + " " + DescribeFault(row.fault))
    if (std::isalnum(static_cast<unsigned char>(c))) name += c;
  return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrixTest, ::testing::ValuesIn(AllRows()), RowName);

// The table itself: every row is runnable and the document names every row.
TEST(FaultMatrixTable, RowsAreDistinctAndAllCodesAreTheExports) {
  const std::vector<Row>& rows = FaultMatrix();
  std::set<std::string> seen;
  for (const Row& row : rows) {
    const std::string key = std::to_string(static_cast<int>(row.operation)) + "|" +
                            std::to_string(static_cast<int>(row.scenario)) + "|" + row.step + "|" +
                            DescribeFault(row.fault);
    EXPECT_TRUE(seen.insert(key).second) << "duplicate row: " << key;
    const std::vector<int> codes = CodesOf(row.operation);
    if (!codes.empty()) {
      EXPECT_NE(std::find(codes.begin(), codes.end(), row.result), codes.end()) << key;
    }
  }
}

}  // namespace
}  // namespace kx7::matrix
