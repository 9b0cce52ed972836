// Host integration as Windows does it: the same cases on the simulated host
// and, under Wine, on the Windows backend. File and folder names Windows
// refuses or trims, fail-if-exists copies, registry paths, the settings
// backup and the AutoPlay setting.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "host/autoplay_reject.h"
#include "host/settings_backup.h"
#include "support/host_environment.h"

namespace kx7::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class HostContract : public ::testing::Test {
 protected:
  // Everything a file of the host holds, read through the seam; nothing
  // when it does not open.
  std::optional<Bytes> Read(const std::string& path) {
    const auto file = files.openForReading(path, platform::OpenMode::Binary);
    const auto size = file ? file->size() : std::nullopt;
    if (!size) return std::nullopt;
    Bytes bytes(static_cast<std::size_t>(*size));
    if (file->readAt(0, bytes) != bytes.size()) return std::nullopt;
    return bytes;
  }
  std::string Temp() { return files.modulePath().substr(0, 1) + ":\\Temp"; }
  std::string Player() { return std::string(1, env->playerLetter()) + ":"; }
  std::string In(const std::string& name) { return scratch + "\\" + name; }
  // A path of exactly `length` characters, in the scratch folder.
  std::string PathOfLength(std::size_t length) {
    return In(std::string(length - scratch.size() - 1, 'n'));
  }
  void PutSettings() {
    env->putPlayerFile("PERSIST.BIN", persist);
    env->putPlayerFile("DEVDIVERSITY.INI", diversity);
  }

  std::unique_ptr<HostEnvironment> env = MakeHostEnvironment();
  platform::Services services = env->services();
  platform::FileSystem& files = services.files;
  platform::Registry& registry = services.registry;
  const std::string scratch = env->scratchFolder();
  const Bytes persist{0x4B, 0x58, 0x25, 0x01};
  const Bytes diversity{'R', 'e', 'g', 'i', 'o', 'n', '=', '3', '7'};
};

TEST_F(HostContract, FolderNamesWindowsRefuses) {
  struct Case {
    std::string name;
    bool created;
    bool wineAgrees = true;
  };
  const std::vector<Case> cases = {
      {"a<b", false},     {"a>b", false},        {"a\"b", false},       {"a|b", false},
      {"a?b", false},     {"a*b", false},        {"tab\tb", false},     {"bell\x07", false},
      {"CON", false},     {"aux.txt", false},    {"COM1", false},       {"lpt9", false},
      {"prn.x.y", false}, {"a:b", false, false}, {"nul", false, false}, {"CONX", true},
      {"COM0", true},     {"x.y.z", true},       {"with space", true},
  };
  for (const Case& c : cases) {
    if (!c.wineAgrees && !env->strictAsWindows()) continue;
    EXPECT_EQ(files.createDirectory(In(c.name)), c.created) << c.name;
  }
}

TEST_F(HostContract, TrailingDotsAndSpacesAreTrimmedFromTheLastName) {
  ASSERT_TRUE(files.createDirectory(In("ABC.")));
  EXPECT_TRUE(files.pathExists(In("ABC")));
  EXPECT_FALSE(files.pathExists(In("ABC.x")));
  // All of these name the folder just made, or the scratch folder itself.
  for (const char* name : {"ABC", "ABC ", "ABC. .", ". ", " "})
    EXPECT_FALSE(files.createDirectory(In(name))) << '"' << name << '"';

  // Inside a path a single trailing dot goes, a space stays.
  env->putPlayerFile("PERSIST.BIN", persist);
  const std::string source = Player() + "\\PERSIST.BIN";
  EXPECT_TRUE(files.copyFileNoOverwrite(source, In("ABC.\\one.bin")));
  EXPECT_EQ(Read(In("ABC\\one.bin")), persist);
  EXPECT_FALSE(files.copyFileNoOverwrite(source, In("ABC \\two.bin")));
  EXPECT_TRUE(files.copyFileNoOverwrite(source, In("three.bin. ")));
  EXPECT_EQ(Read(In("three.bin")), persist);
}

TEST_F(HostContract, CopiesNeverReplaceAFileOrAFolder) {
  env->putPlayerFile("PERSIST.BIN", persist);
  const std::string source = Player() + "\\PERSIST.BIN";
  ASSERT_TRUE(files.copyFileNoOverwrite(source, In("copy.bin")));
  env->putPlayerFile("PERSIST.BIN", diversity);
  EXPECT_FALSE(files.copyFileNoOverwrite(source, In("copy.bin")));
  EXPECT_EQ(Read(In("copy.bin")), persist);

  ASSERT_TRUE(files.createDirectory(In("folder")));
  EXPECT_FALSE(files.copyFileNoOverwrite(source, In("folder")));
  EXPECT_FALSE(files.copyFileNoOverwrite(source, In("a|b")));
  EXPECT_FALSE(files.copyFileNoOverwrite(Player() + "\\MISSING.BIN", In("missing.bin")));
}

TEST_F(HostContract, PathLengthLimits) {
  // CreateDirectoryA keeps room for an 8.3 name below the folder; CopyFileA
  // takes MAX_PATH less the terminator.
  EXPECT_TRUE(files.createDirectory(PathOfLength(247)));
  EXPECT_FALSE(files.createDirectory(PathOfLength(261)));
  env->putPlayerFile("PERSIST.BIN", persist);
  const std::string source = Player() + "\\PERSIST.BIN";
  EXPECT_TRUE(files.copyFileNoOverwrite(source, PathOfLength(259)));
  if (env->strictAsWindows()) {
    EXPECT_FALSE(files.createDirectory(PathOfLength(248)));
    EXPECT_FALSE(files.copyFileNoOverwrite(source, PathOfLength(260)));
    EXPECT_FALSE(files.copyFileNoOverwrite(source, PathOfLength(261)));
  }
}

TEST_F(HostContract, SubKeyPathsDoNotStartWithASeparator) {
  constexpr const char* kKey = "Software\\Korvane\\kx7fw-contract";
  const auto created = registry.createKey(platform::RegistryRoot::CurrentUser, kKey);
  ASSERT_TRUE(created);
  registry.closeKey(*created);
  const auto opened =
      registry.openKey(platform::RegistryRoot::CurrentUser, kKey, platform::registry_access::kRead);
  ASSERT_TRUE(opened);
  registry.closeKey(*opened);
  const std::string rooted = std::string("\\") + kKey;
  EXPECT_FALSE(registry.openKey(platform::RegistryRoot::CurrentUser, rooted,
                                platform::registry_access::kRead));
  EXPECT_FALSE(registry.createKey(platform::RegistryRoot::CurrentUser, rooted));
}

TEST_F(HostContract, BackupAndRestoreOfTheSettings) {
  PutSettings();
  const std::string folder = Temp() + "\\KX7CONTRACT01";
  EXPECT_EQ(BackupDeviceSettings(services, "KX7CONTRACT01", Player().substr(0, 1)), 0);
  EXPECT_EQ(Read(folder + "\\PERSIST.BIN"), persist);
  EXPECT_EQ(Read(folder + "\\DEVDIVERSITY.INI"), diversity);

  env->clearPlayer();
  EXPECT_EQ(RestoreDeviceSettings(services, "KX7CONTRACT01", Player().substr(0, 1)), 0);
  EXPECT_EQ(Read(Player() + "\\PERSIST.BIN"), persist);
  EXPECT_EQ(Read(Player() + "\\DEVCONFIG.INI"), diversity);
  EXPECT_FALSE(files.pathExists(Player() + "\\DEVDIVERSITY.INI"));
}

TEST_F(HostContract, SerialsEndingInADotOrASpaceGetNoBackupFolder) {
  // Trimmed, each would be the folder of serial "ABC" or Temp itself.
  const std::vector<std::string> serials = {"ABC.", "ABC ", "ABC. .", ". ", " "};
  PutSettings();
  for (const std::string& serial : serials)
    EXPECT_EQ(BackupDeviceSettings(services, serial, Player().substr(0, 1)), 0);
  EXPECT_FALSE(files.pathExists(Temp() + "\\ABC"));
  EXPECT_FALSE(files.pathExists(Temp() + "\\PERSIST.BIN"));

  // Nor do they restore another serial's settings.
  ASSERT_EQ(BackupDeviceSettings(services, "ABC", Player().substr(0, 1)), 0);
  ASSERT_TRUE(files.pathExists(Temp() + "\\ABC\\PERSIST.BIN"));
  env->clearPlayer();
  for (const std::string& serial : serials) {
    EXPECT_EQ(RestoreDeviceSettings(services, serial, Player().substr(0, 1)), 0);
    EXPECT_FALSE(files.pathExists(Player() + "\\PERSIST.BIN")) << '"' << serial << '"';
  }
}

TEST_F(HostContract, AutoplaySettingIsSavedAndPutBack) {
  constexpr const char* kKey =
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers";
  constexpr const char* kValue = "DisableAutoplay";
  ASSERT_GE(services.system.osVersion().major, 6u);
  const auto Value = [&]() -> std::optional<std::uint32_t> {
    const auto key = registry.openKey(platform::RegistryRoot::CurrentUser, kKey,
                                      platform::registry_access::kRead);
    if (!key) return std::nullopt;
    std::uint8_t data[4];
    std::uint32_t length = 0;
    const bool read = registry.queryValue(*key, kValue, data, length);
    registry.closeKey(*key);
    if (!read || length != 4) return std::nullopt;
    return data[0] | data[1] << 8 | data[2] << 16 | std::uint32_t{data[3]} << 24;
  };
  struct Case {
    std::optional<std::uint32_t> before;
    std::optional<std::uint32_t> during;
  };
  for (const Case& c : std::vector<Case>{{0, 1}, {1, 1}, {std::nullopt, std::nullopt}}) {
    const auto key = registry.createKey(platform::RegistryRoot::CurrentUser, kKey);
    ASSERT_TRUE(key);
    if (c.before) {
      const std::uint8_t data[4] = {static_cast<std::uint8_t>(*c.before), 0, 0, 0};
      registry.setValue(*key, kValue, platform::RegistryType::Dword, data);
    } else {
      env->removeValue(platform::RegistryRoot::CurrentUser, kKey, kValue);
    }
    registry.closeKey(*key);
    {
      CAutoPlayReject reject(services);
      EXPECT_EQ(Value(), c.during);
    }
    EXPECT_EQ(Value(), c.before);
  }
}

}  // namespace
}  // namespace kx7::test
