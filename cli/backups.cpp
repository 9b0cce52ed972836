#include "cli/backups.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <set>

namespace kx7::cli {

namespace {

namespace fs = std::filesystem;

std::string TempFolder(const std::string& modulePath) {
  return std::string(1, modulePath.empty() ? 'C' : modulePath[0]) + ":\\Temp";
}

std::string LastPart(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class SimBackups final : public Backups {
 public:
  explicit SimBackups(sim::World& world) : world_(world) {
    for (const SettingsBackup& backup : List()) before_.insert(backup.serial);
  }

  std::vector<SettingsBackup> List() override {
    const auto guard = world_.lock();
    std::vector<SettingsBackup> out;
    for (const std::string& folder : world_.files().directoriesIn(Temp())) {
      if (auto backup = Of(LastPart(folder))) out.push_back(*backup);
    }
    return out;
  }

  std::optional<SettingsBackup> Of(const std::string& serial) override {
    const auto guard = world_.lock();
    if (!IsBackupSerial(serial)) return std::nullopt;
    SettingsBackup backup{serial, Temp() + "\\" + serial, {}, ""};
    for (const std::string& path : world_.files().filesIn(backup.folder))
      backup.files.push_back(LastPart(path));
    if (backup.files.empty()) return std::nullopt;
    std::sort(backup.files.begin(), backup.files.end());
    // The simulated host keeps no dates; what the run saw is what it knows.
    backup.taken = before_.count(serial) ? "from before this run" : "taken during this run";
    return backup;
  }

  bool Remove(const std::string& serial, std::string& why) override {
    const auto guard = world_.lock();
    if (!Of(serial)) {
      why = "no settings backup of " + serial;
      return false;
    }
    world_.files().removeDirectory(Temp() + "\\" + serial);
    return true;
  }

 private:
  std::string Temp() { return TempFolder(world_.modulePath()); }

  sim::World& world_;
  std::set<std::string> before_;
};

std::string LocalTime(fs::file_time_type when) {
  const auto system = std::chrono::time_point_cast<std::chrono::system_clock::duration>(
      when - fs::file_time_type::clock::now() + std::chrono::system_clock::now());
  const std::time_t t = std::chrono::system_clock::to_time_t(system);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

class RealBackups final : public Backups {
 public:
  RealBackups(platform::FileSystem& files, PathResolver resolve)
      : files_(files), resolve_(std::move(resolve)) {}

  std::vector<SettingsBackup> List() override {
    std::vector<SettingsBackup> out;
    const auto root = resolve_(Temp());
    std::error_code error;
    if (!root || !fs::is_directory(*root, error)) return out;
    for (const auto& entry : fs::directory_iterator(*root, error)) {
      if (!entry.is_directory(error)) continue;
      if (auto backup = Of(entry.path().filename().string())) out.push_back(*backup);
    }
    std::sort(out.begin(), out.end(),
              [](const SettingsBackup& a, const SettingsBackup& b) { return a.serial < b.serial; });
    return out;
  }

  std::optional<SettingsBackup> Of(const std::string& serial) override {
    if (!IsBackupSerial(serial)) return std::nullopt;
    SettingsBackup backup{serial, Temp() + "\\" + serial, {}, ""};
    const auto folder = resolve_(backup.folder);
    std::error_code error;
    if (!folder || !fs::is_directory(*folder, error)) return std::nullopt;
    std::optional<fs::file_time_type> newest;
    for (const char* name : {"PERSIST.BIN", "DEVDIVERSITY.INI"}) {
      const fs::path file = fs::path(*folder) / name;
      if (!fs::is_regular_file(file, error)) continue;
      backup.files.push_back(name);
      const auto when = fs::last_write_time(file, error);
      if (!error && (!newest || when > *newest)) newest = when;
    }
    if (backup.files.empty()) return std::nullopt;
    backup.taken = newest ? "taken " + LocalTime(*newest) : "";
    return backup;
  }

  bool Remove(const std::string& serial, std::string& why) override {
    if (!Of(serial)) {
      why = "no settings backup of " + serial;
      return false;
    }
    const auto folder = resolve_(Temp() + "\\" + serial);
    std::error_code error;
    fs::remove_all(*folder, error);
    if (error) {
      why = "cannot remove " + *folder + ": " + error.message();
      return false;
    }
    return true;
  }

 private:
  std::string Temp() { return TempFolder(files_.modulePath()); }

  platform::FileSystem& files_;
  PathResolver resolve_;
};

}  // namespace

bool IsBackupSerial(const std::string& serial) {
  if (serial.empty() || serial == "." || serial.find("..") != std::string::npos) return false;
  return std::none_of(serial.begin(), serial.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return c == '\\' || c == '/' || c == ':' || byte < 0x20 || byte == 0x7F;
  });
}

std::unique_ptr<Backups> MakeSimBackups(sim::World& world) {
  return std::make_unique<SimBackups>(world);
}

std::unique_ptr<Backups> MakeRealBackups(platform::FileSystem& files, PathResolver resolve) {
  return std::make_unique<RealBackups>(files, std::move(resolve));
}

}  // namespace kx7::cli
