#include "cli/last_run.h"

#include <nlohmann/json.hpp>

#include <ctime>
#include <filesystem>
#include <fstream>

namespace kx7::cli {

namespace {
constexpr const char* kFileName = "last-run.json";
constexpr std::int64_t kRecentSeconds = 24 * 60 * 60;
}  // namespace

void RecordLastRun(const std::string& folder, LastRun run) {
  if (folder.empty()) return;
  if (run.when == 0) run.when = static_cast<std::int64_t>(std::time(nullptr));
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  std::ofstream out(std::filesystem::path(folder) / kFileName, std::ios::trunc);
  out << nlohmann::json{{"command", run.command},
                        {"serial", run.serial},
                        {"outcome", run.outcome},
                        {"rewriteBegan", run.rewriteBegan},
                        {"when", run.when}}
             .dump()
      << "\n";
}

std::optional<LastRun> ReadLastRun(const std::string& folder) {
  if (folder.empty()) return std::nullopt;
  std::ifstream in(std::filesystem::path(folder) / kFileName);
  if (!in) return std::nullopt;
  const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  LastRun run;
  run.command = j.value("command", "");
  run.serial = j.value("serial", "");
  run.outcome = j.value("outcome", "");
  run.rewriteBegan = j.value("rewriteBegan", true);
  run.when = j.value("when", std::int64_t{0});
  return run;
}

bool LeftBeforeFirstErase(const LastRun& run, std::int64_t now) {
  return run.command == "update" && run.outcome != "done" && !run.rewriteBegan && now >= run.when &&
         now - run.when < kRecentSeconds;
}

}  // namespace kx7::cli
