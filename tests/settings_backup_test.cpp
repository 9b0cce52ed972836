// The player's settings files backed up to <host>:\Temp\<serial>, put back
// after a recovery, and the region byte read from the backup.
#include <optional>
#include <string>
#include <vector>

#include "host/settings_backup.h"
#include "support/host_players.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

constexpr const char* kSerial = "0000KX7T4A2C19F0";
const std::string kFolder = std::string("C:\\Temp\\") + kSerial;

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

class SettingsBackupTest : public SimFixture {
 protected:
  SettingsBackupTest()
      : player(AddNormalPlayer(world, kSerial, 'E')),
        persist{0x4B, 0x58, 0x25, 0x01, 0x00},
        diversity(Bytes("[Diversity]\r\nRegion=37\r\n")) {
    player.rootFiles["PERSIST.BIN"] = persist;
    player.rootFiles["DEVDIVERSITY.INI"] = diversity;
  }

  int Backup(std::string_view serial = kSerial, std::string_view letter = "E") {
    return BackupDeviceSettings(world.services(), serial, letter);
  }
  int Restore(std::string_view serial = kSerial, std::string_view letter = "E") {
    return RestoreDeviceSettings(world.services(), serial, letter);
  }
  int Region(char letter = 'E') { return ReadRegionCode(world.services(), letter); }
  std::optional<std::vector<std::uint8_t>> HostFile(const std::string& path) {
    const auto* bytes = world.files().file(path);
    return bytes ? std::optional(*bytes) : std::nullopt;
  }
  // Destinations of the copies that went through.
  std::vector<std::string> Copied() {
    std::vector<std::string> out;
    for (const sim::Event& e : Events(sim::EventKind::FileCopy))
      if (e.ok) out.push_back(e.name);
    return out;
  }
  // Backs the player up, then wipes its root as a recovery does.
  void BackupAndWipe() {
    ASSERT_EQ(Backup(), 0);
    player.rootFiles.clear();
    world.transcript().clear();
  }

  sim::Player& player;
  std::vector<std::uint8_t> persist;
  std::vector<std::uint8_t> diversity;
};

// --- Backup ---------------------------------------------------------------------

TEST_F(SettingsBackupTest, BackupCopiesBothFilesIntoTheSerialsFolder) {
  EXPECT_EQ(Backup(), 0);
  EXPECT_EQ(HostFile(kFolder + "\\PERSIST.BIN"), persist);
  EXPECT_EQ(HostFile(kFolder + "\\DEVDIVERSITY.INI"), diversity);
  EXPECT_EQ(world.files().filesIn(kFolder).size(), 2u);
  // The player keeps its files.
  EXPECT_EQ(player.rootFiles.size(), 2u);
}

TEST_F(SettingsBackupTest, BackupGoesToTheDriveOfTheHostExecutable) {
  world.addHostDrive('G', platform::DriveType::Fixed);
  world.setModulePath("G:\\Apps\\Korvane\\TessioUpdater.exe");
  EXPECT_EQ(Backup(), 0);
  EXPECT_EQ(HostFile(std::string("G:\\Temp\\") + kSerial + "\\PERSIST.BIN"), persist);
  EXPECT_FALSE(world.files().hasDirectory("C:\\Temp"));
}

TEST_F(SettingsBackupTest, BackupIsNeverRefreshed) {
  ASSERT_EQ(Backup(), 0);
  player.rootFiles["PERSIST.BIN"] = {9, 9, 9, 9};
  player.rootFiles["DEVDIVERSITY.INI"] = Bytes("changed");
  world.transcript().clear();

  EXPECT_EQ(Backup(), 0);
  EXPECT_EQ(HostFile(kFolder + "\\PERSIST.BIN"), persist);
  EXPECT_EQ(HostFile(kFolder + "\\DEVDIVERSITY.INI"), diversity);
  // The diversity file is not even tried while its backup exists.
  const auto copies = Events(sim::EventKind::FileCopy);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].target, "E:\\PERSIST.BIN");
  EXPECT_FALSE(copies[0].ok);
}

TEST_F(SettingsBackupTest, MissingDiversityBackupIsTakenAgain) {
  ASSERT_EQ(Backup(), 0);
  world.files().removeFile(kFolder + "\\DEVDIVERSITY.INI");
  player.rootFiles["DEVDIVERSITY.INI"] = Bytes("second");
  EXPECT_EQ(Backup(), 0);
  EXPECT_EQ(HostFile(kFolder + "\\DEVDIVERSITY.INI"), Bytes("second"));
}

TEST_F(SettingsBackupTest, BackupWithoutALetterOnlyMakesTheFolders) {
  EXPECT_EQ(Backup(kSerial, ""), 0);
  EXPECT_TRUE(world.files().hasDirectory(kFolder));
  EXPECT_TRUE(world.files().filesIn(kFolder).empty());
  EXPECT_TRUE(Copied().empty());
}

TEST_F(SettingsBackupTest, PlayerWithoutDiversityFileGetsNoConfigBack) {
  player.rootFiles.erase("DEVDIVERSITY.INI");
  BackupAndWipe();
  EXPECT_EQ(Restore(), 0);
  EXPECT_EQ(player.rootFiles.count("PERSIST.BIN"), 1u);
  EXPECT_EQ(player.rootFiles.count("DEVCONFIG.INI"), 0u);
}

// --- Restore --------------------------------------------------------------------

TEST_F(SettingsBackupTest, RestorePutsTheBackupBackWithDiversityAsConfig) {
  BackupAndWipe();
  EXPECT_EQ(Restore(), 0);
  EXPECT_EQ(player.rootFiles["PERSIST.BIN"], persist);
  EXPECT_EQ(player.rootFiles["DEVCONFIG.INI"], diversity);
  EXPECT_EQ(player.rootFiles.count("DEVDIVERSITY.INI"), 0u);
  EXPECT_TRUE(Events(sim::EventKind::Directory).empty());
}

TEST_F(SettingsBackupTest, RestoreKeepsThePlayersOwnFiles) {
  BackupAndWipe();
  player.rootFiles["PERSIST.BIN"] = {1, 2, 3};
  player.rootFiles["DEVCONFIG.INI"] = Bytes("own");
  EXPECT_EQ(Restore(), 0);
  EXPECT_EQ(player.rootFiles["PERSIST.BIN"], (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(player.rootFiles["DEVCONFIG.INI"], Bytes("own"));
}

// --- Region code ----------------------------------------------------------------

TEST_F(SettingsBackupTest, RegionIsTheSignedThirdByteOfTheBackup) {
  EXPECT_EQ(Region(), 0);  // no backup yet
  ASSERT_EQ(Backup(), 0);
  EXPECT_EQ(Region(), 37);

  for (const auto& [bytes, region] :
       std::vector<std::pair<std::vector<std::uint8_t>, int>>{{{0, 0, 0x80}, -128},
                                                              {{0, 0, 0xFF, 7}, -1},
                                                              {{0, 0, 0x00}, 0},
                                                              {{0, 0x25}, 0},
                                                              {{}, 0}}) {
    world.files().addFile(kFolder + "\\PERSIST.BIN", bytes);
    EXPECT_EQ(Region(), region) << bytes.size();
  }
}

TEST_F(SettingsBackupTest, RegionWorksOnXpToo) {
  world.setOs(sim::OsPreset::WindowsXP);
  ASSERT_EQ(Backup(), 0);
  EXPECT_EQ(Region(), 37);
}

TEST_F(SettingsBackupTest, RegionOfALetterWithoutSerialReadsTheTempFolder) {
  // No player at G: the serial is empty and the path names Temp itself.
  world.files().addFile("C:\\Temp\\PERSIST.BIN", std::vector<std::uint8_t>{0, 0, 0x37});
  EXPECT_EQ(Region('G'), 0x37);
}

// --- Serials that are no folder name ----------------------------------------------

TEST_F(SettingsBackupTest, HostileSerialsTouchNothing) {
  world.files().addDirectory("C:\\Windows");
  for (const std::string& serial :
       std::vector<std::string>{"..\\..\\Windows", "..", ".", "a/b", "sub\\dir", "C:\\Windows",
                                "x:stream", "up..down", "tab\there", "nl\nx", "del\x7F"}) {
    world.transcript().clear();
    EXPECT_EQ(Backup(serial), 0) << serial;
    EXPECT_EQ(Restore(serial), 0) << serial;
    EXPECT_TRUE(Events(sim::EventKind::Directory).empty()) << serial;
    EXPECT_TRUE(Events(sim::EventKind::FileCopy).empty()) << serial;
  }
  EXPECT_FALSE(world.files().hasDirectory("C:\\Temp"));
  EXPECT_TRUE(world.files().filesIn("C:\\Windows").empty());
}

TEST_F(SettingsBackupTest, EmptySerialIsNoBackupFolder) {
  // An empty serial would name Temp itself, shared by every player.
  world.files().addFile("C:\\Temp\\PERSIST.BIN", std::vector<std::uint8_t>{7, 7, 7});
  player.rootFiles.clear();
  world.transcript().clear();
  EXPECT_EQ(Backup(""), 0);
  EXPECT_EQ(Restore(""), 0);
  EXPECT_TRUE(Events(sim::EventKind::FileCopy).empty());
  EXPECT_TRUE(player.rootFiles.empty());
}

TEST_F(SettingsBackupTest, HostileSerialFromTheDeviceListIsNotReadFrom) {
  // A device whose serial climbs out of Temp: the region must not come from
  // the file its path reaches.
  const std::string serial = "..\\Secret";
  AddNormalPlayer(world, serial, 'F');
  world.files().addFile("C:\\Secret\\PERSIST.BIN", std::vector<std::uint8_t>{0, 0, 0x25});
  ASSERT_TRUE(world.files().hasFile("C:\\Temp\\" + serial + "\\PERSIST.BIN"));
  EXPECT_EQ(Region('F'), 0);
}

}  // namespace
}  // namespace kx7::test
