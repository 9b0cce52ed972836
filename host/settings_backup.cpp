#include "host/settings_backup.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "host/drive_letters.h"

namespace kx7 {

namespace {

constexpr const char* kPersistFile = "\\PERSIST.BIN";
constexpr const char* kDiversityFile = "\\DEVDIVERSITY.INI";
constexpr const char* kConfigFile = "\\DEVCONFIG.INI";
constexpr std::uint64_t kRegionByteOffset = 2;

// The serial becomes a folder name under the host's Temp folder. Whatever
// could step out of that one folder (a separator, a drive or stream colon,
// "..", "." alone naming Temp itself) or that no file name may hold (control
// characters) is refused, so a device reporting such a serial cannot make us
// create, copy or read anything elsewhere. Windows drops trailing dots and
// spaces from a folder name: "ABC." would be the folder of serial "ABC" and
// ". " Temp itself, so such serials are refused too.
bool IsSafeFolderName(std::string_view serial) {
  if (serial.find("..") != std::string_view::npos) return false;
  if (!serial.empty() && (serial.back() == '.' || serial.back() == ' ')) return false;
  for (char c : serial) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '/' || c == ':' || byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

// Where a player's settings go on the host: <H>:\Temp\<serial>, H being the
// drive of the host application's executable.
struct BackupPaths {
  std::string temp;
  std::string folder;
};

std::optional<BackupPaths> MakeBackupPaths(platform::FileSystem& files, std::string_view serial) {
  const std::string module = files.modulePath();
  if (module.empty()) return std::nullopt;
  BackupPaths paths;
  paths.temp = std::string(1, module[0]) + ":\\Temp";
  paths.folder = paths.temp + "\\" + std::string(serial);
  return paths;
}

std::string PlayerPath(std::string_view deviceLetterText, const char* file) {
  return std::string(deviceLetterText) + ":" + file;
}

// Present on the source side: it opens for reading.
bool IsPresent(platform::FileSystem& files, const std::string& path) {
  return files.openForReading(path, platform::OpenMode::Text) != nullptr;
}

}  // namespace

int BackupDeviceSettings(const platform::Services& services, std::string_view serial,
                         std::string_view deviceLetterText) {
  // An empty serial would put this player's files straight into the shared
  // Temp folder, where a restore for any other player would find them.
  if (serial.empty() || !IsSafeFolderName(serial)) return 0;
  platform::FileSystem& files = services.files;
  const auto paths = MakeBackupPaths(files, serial);
  if (!paths) return 0;

  // Not checked: it is usually there already; the folder below must be made.
  files.createDirectory(paths->temp);
  const bool createdNow = files.createDirectory(paths->folder);

  const std::string persist = PlayerPath(deviceLetterText, kPersistFile);
  if (IsPresent(files, persist)) files.copyFileNoOverwrite(persist, paths->folder + kPersistFile);

  const std::string diversityBackup = paths->folder + kDiversityFile;
  if (createdNow || !files.pathExists(diversityBackup)) {
    const std::string diversity = PlayerPath(deviceLetterText, kDiversityFile);
    if (IsPresent(files, diversity)) files.copyFileNoOverwrite(diversity, diversityBackup);
  }
  return 0;
}

int RestoreDeviceSettings(const platform::Services& services, std::string_view serial,
                          std::string_view deviceLetterText) {
  // No serial found for a player must not hand it whatever lies in Temp.
  if (serial.empty() || !IsSafeFolderName(serial)) return 0;
  platform::FileSystem& files = services.files;
  const auto paths = MakeBackupPaths(files, serial);
  if (!paths) return 0;

  const std::string persistBackup = paths->folder + kPersistFile;
  if (IsPresent(files, persistBackup))
    files.copyFileNoOverwrite(persistBackup, PlayerPath(deviceLetterText, kPersistFile));

  // The player reads its restored diversity settings as its configuration.
  const std::string diversityBackup = paths->folder + kDiversityFile;
  if (IsPresent(files, diversityBackup))
    files.copyFileNoOverwrite(diversityBackup, PlayerPath(deviceLetterText, kConfigFile));
  return 0;
}

int ReadRegionCode(const platform::Services& services, char letter) {
  // A player whose serial is not found reads <H>:\Temp\\PERSIST.BIN.
  const std::string serial = FindSerialForDriveLetter(services, letter).value_or("");
  if (!IsSafeFolderName(serial)) return 0;
  platform::FileSystem& files = services.files;
  const auto paths = MakeBackupPaths(files, serial);
  if (!paths) return 0;

  const std::string persist = paths->folder + kPersistFile;
  if (!IsPresent(files, persist)) return 0;
  const auto file = files.openForReading(persist, platform::OpenMode::Binary);
  if (!file) return 0;
  std::uint8_t region = 0;
  if (file->readAt(kRegionByteOffset, std::span(&region, 1)) != 1) return 0;
  return static_cast<std::int8_t>(region);
}

}  // namespace kx7
