#pragma once

// The settings backups the library keeps on the host, one folder per
// player serial (<H>:\Temp\SERIAL, on Linux in the state folder): which
// exist, what each holds and since when, and removing one. The library
// never refreshes a backup once taken, so an old one is restored after a
// recovery until it is removed.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "sim/world.h"

namespace kx7::cli {

struct SettingsBackup {
  std::string serial;
  std::string folder;              // as the library names it
  std::vector<std::string> files;  // "PERSIST.BIN", "DEVDIVERSITY.INI"
  std::string taken;               // when, for people
};

class Backups {
 public:
  virtual ~Backups() = default;
  virtual std::vector<SettingsBackup> List() = 0;
  virtual std::optional<SettingsBackup> Of(const std::string& serial) = 0;
  virtual bool Remove(const std::string& serial, std::string& why) = 0;
};

// On a simulated host: its own store. A backup present when the world was
// made is "from before this run".
std::unique_ptr<Backups> MakeSimBackups(sim::World& world);

// On this machine: `resolve` turns the library's names into paths here.
using PathResolver = std::function<std::optional<std::string>(std::string_view)>;
std::unique_ptr<Backups> MakeRealBackups(platform::FileSystem& files, PathResolver resolve);

// The serial is a folder name the library would make: nothing that steps
// out of the backup folder.
bool IsBackupSerial(const std::string& serial);

}  // namespace kx7::cli
