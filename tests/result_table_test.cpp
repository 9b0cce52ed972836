// The result codes docs/api.md lists for each export are the ones the
// library's table gives it, and the command-line tool says what the table
// says: one list of codes, read by the tool and checked against the docs.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "api/result_table.h"

namespace kx7::test {
namespace {

using result::Export;

const std::map<std::string, Export>& ExportsByName() {
  static const std::map<std::string, Export> names{
      {"MSCDeviceList", Export::MSCDeviceList},
      {"DeviceSerialNum", Export::DeviceSerialNum},
      {"GetDeviceInfo", Export::GetDeviceInfo},
      {"GetLocalVersion", Export::GetLocalVersion},
      {"NeedRecovery", Export::NeedRecovery},
      {"Detect_HID", Export::Detect_HID},
      {"DoNormalUpdate", Export::DoNormalUpdate},
      {"DoRecoveryUpdate", Export::DoRecoveryUpdate},
      {"GetFWLibraryVersion", Export::GetFWLibraryVersion},
      {"GetAPIVersion", Export::GetAPIVersion},
      {"ChangeUSBMode", Export::ChangeUSBMode},
      {"ResetChipset", Export::ResetChipset}};
  return names;
}

std::set<int> TableCodes(Export of) {
  std::set<int> codes;
  for (const result::Meaning& m : result::kMeanings)
    if (m.of == of) codes.insert(m.code);
  return codes;
}

// Each "### `int Name(...)`" section of the reference: the exports it names
// and the numeric codes of its result table.
struct Section {
  std::set<std::string> names;
  std::set<int> codes;
};

std::vector<Section> ReadReference() {
  std::ifstream in(std::string(KX7FW_DOCS_DIR) + "/api.md");
  std::vector<Section> sections;
  const std::regex heading(R"(^### )");
  const std::regex name(R"(`int (\w+)\()");
  const std::regex row(R"(^\| (\d+) \|)");
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_search(line, heading)) {
      sections.push_back({});
      for (auto it = std::sregex_iterator(line.begin(), line.end(), name);
           it != std::sregex_iterator(); ++it)
        sections.back().names.insert((*it)[1]);
    } else if (line.rfind("## ", 0) == 0) {
      sections.push_back({});
    } else if (!sections.empty() && std::regex_search(line, m, row)) {
      sections.back().codes.insert(std::stoi(m[1]));
    }
  }
  return sections;
}

TEST(ResultTable, TheReferenceListsEachExportsCodes) {
  const std::vector<Section> sections = ReadReference();
  std::set<std::string> documented;
  for (const Section& section : sections) {
    if (section.names.empty()) continue;
    std::set<int> expected;
    for (const std::string& n : section.names) {
      ASSERT_TRUE(ExportsByName().count(n)) << n << " is not an export";
      documented.insert(n);
      const std::set<int> codes = TableCodes(ExportsByName().at(n));
      expected.insert(codes.begin(), codes.end());
    }
    EXPECT_EQ(section.codes, expected) << "the section of " << *section.names.begin();
  }
  EXPECT_EQ(documented.size(), ExportsByName().size());
}

TEST(ResultTable, EveryCodeHasOneMeaningPerExport) {
  std::set<std::pair<Export, int>> seen;
  for (const result::Meaning& m : result::kMeanings) {
    EXPECT_TRUE(seen.insert({m.of, m.code}).second) << m.code;
    EXPECT_NE(std::string(m.text), "");
  }
  // What the procedures return is in the table.
  EXPECT_STREQ(result::MeaningOf(Export::DoNormalUpdate, result::kNormalVerifyFailed),
               "verifying a firmware image failed");
  EXPECT_STREQ(result::MeaningOf(Export::DoRecoveryUpdate, result::kBusy), result::kBusyText);
  EXPECT_EQ(result::MeaningOf(Export::DoNormalUpdate, 5), nullptr);
  EXPECT_EQ(result::MeaningOf(Export::MSCDeviceList, 0), nullptr);
}

}  // namespace
}  // namespace kx7::test
