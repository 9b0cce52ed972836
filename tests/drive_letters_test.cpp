// Serial text <-> drive letter through the registry traces Windows keeps of
// attached players, on the 2000/XP and the Vista/7 families, and the host-OS
// classification.
#include <optional>
#include <string>
#include <vector>

#include "host/drive_letters.h"
#include "sim/host/text.h"
#include "support/host_players.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

using platform::RegistryRoot;
using sim::OsPreset;

constexpr const char* kSerialA = "0000KX7T4A2C19F0";
constexpr const char* kSerialB = "0000KX7T77B31E02";

std::string DosDevices(char letter) {
  return std::string("\\DosDevices\\") + letter + ":";
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

class DriveLettersTest : public SimFixture {
 protected:
  // Whatever a lookup did, it closed every key it opened.
  void TearDown() override { EXPECT_EQ(world.openRegistryKeyCount(), 0u); }

  char Letter(std::string_view serial) {
    return FindDriveLetterForSerial(world.services(), serial);
  }
  std::optional<std::string> Serial(char letter) {
    return FindSerialForDriveLetter(world.services(), letter);
  }

  std::string ParentIdPrefix(const std::string& serial) {
    const auto* value = world.registry().value(
        RegistryRoot::LocalMachine,
        std::string(sim::reg_path::kUsbStorPlayer) + "\\" + serial + "&0", "ParentIdPrefix");
    return value ? std::string(value->data.begin(), value->data.end() - 1) : "";
  }
  void SetMounted(char letter, std::vector<std::uint8_t> bytes) {
    world.registry().setValue(RegistryRoot::LocalMachine, sim::reg_path::kMountedDevices,
                              DosDevices(letter), platform::RegistryType::Binary, std::move(bytes));
  }
  void RemoveMounted(char letter) {
    world.registry().removeValue(RegistryRoot::LocalMachine, sim::reg_path::kMountedDevices,
                                 DosDevices(letter));
  }
  void SetProductName(const std::string& name) {
    world.registry().setString(RegistryRoot::LocalMachine, sim::reg_path::kCurrentVersion,
                               "ProductName", name);
  }
};

// --- Both families ------------------------------------------------------------

class BothFamiliesTest : public DriveLettersTest, public ::testing::WithParamInterface<OsPreset> {};

TEST_P(BothFamiliesTest, MapsEachPlayerBothWays) {
  world.setOs(GetParam());
  AddNormalPlayer(world, kSerialA, 'E');
  AddNormalPlayer(world, kSerialB, 'F');

  EXPECT_EQ(Letter(kSerialA), 'E');
  EXPECT_EQ(Letter(kSerialB), 'F');
  EXPECT_EQ(Letter("0000kx7t77b31e02"), 'F');  // serials compare without case
  EXPECT_EQ(Letter("0000KX7T00000000"), 0);
  EXPECT_EQ(Letter(""), 0);

  EXPECT_EQ(Serial('E'), kSerialA);
  EXPECT_EQ(Serial('F'), kSerialB);
  EXPECT_EQ(Serial('C'), std::nullopt);  // a disk signature, not a device path
  EXPECT_EQ(Serial('G'), std::nullopt);  // nothing mounted there
}

TEST_P(BothFamiliesTest, PlayerOnZIsCountedButNeverFoundBySerial) {
  world.setOs(GetParam());
  AddNormalPlayer(world, kSerialA, 'Z');
  char list[26];
  EXPECT_EQ(library.MSCDeviceList(list), 1);
  EXPECT_EQ(Letter(kSerialA), 0);
  // The same trace on A: is found: the scan starts there.
  const auto* trace = world.registry().value(RegistryRoot::LocalMachine,
                                             sim::reg_path::kMountedDevices, DosDevices('Z'));
  ASSERT_NE(trace, nullptr);
  SetMounted('A', trace->data);
  EXPECT_EQ(Letter(kSerialA), 'A');
}

TEST_P(BothFamiliesTest, SerialNeedsAPlayerTheDriveScanCounts) {
  world.setOs(GetParam());
  AddNormalPlayer(world, kSerialA, 'E');
  world.unplug(0, Now());
  // Windows keeps the traces of a player that left; the drive scan finds
  // nobody, so no serial is given for its old letter.
  EXPECT_EQ(Letter(kSerialA), 'E');
  EXPECT_EQ(Serial('E'), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Families, BothFamiliesTest,
                         ::testing::Values(OsPreset::Windows2000, OsPreset::WindowsXP,
                                           OsPreset::Vista, OsPreset::Windows7, OsPreset::Windows81,
                                           OsPreset::Windows10, OsPreset::Windows11),
                         OsPresetName);

// --- OS family selection ------------------------------------------------------

TEST_F(DriveLettersTest, UnknownProductNamesGoByVersionAndUnreadableOnesGiveNothing) {
  // Any name on 6.0 or later takes the Vista method; Server 2003 leaves the
  // same traces as XP but names neither family and is not looked up.
  struct Case {
    OsPreset os;
    const char* productName;
    char letter;
  };
  for (const Case& c : {Case{OsPreset::Server2003, nullptr, 0},
                        Case{OsPreset::Windows7, "Windows Server 2008 R2 Standard", 'E'},
                        Case{OsPreset::Windows10, "Windows Server 2019 Datacenter", 'E'},
                        Case{OsPreset::WindowsXP, "Windows Embedded", 0}}) {
    sim::World other;
    other.setOs(c.os);
    AddNormalPlayer(other, kSerialA, 'E');
    if (c.productName)
      other.registry().setString(RegistryRoot::LocalMachine, sim::reg_path::kCurrentVersion,
                                 "ProductName", c.productName);
    SCOPED_TRACE(c.productName ? c.productName : "Server 2003");
    EXPECT_EQ(FindDriveLetterForSerial(other.services(), kSerialA), c.letter);
    EXPECT_EQ(FindSerialForDriveLetter(other.services(), 'E'),
              c.letter ? std::optional<std::string>(kSerialA) : std::nullopt);
    EXPECT_EQ(other.openRegistryKeyCount(), 0u);
  }

  AddNormalPlayer(world, kSerialA, 'E');
  ASSERT_EQ(Letter(kSerialA), 'E');
  world.faults().failRegistryQuery("ProductName");
  EXPECT_EQ(Letter(kSerialA), 0);
  EXPECT_EQ(Serial('E'), std::nullopt);

  sim::World locked;
  AddNormalPlayer(locked, kSerialA, 'E');
  locked.faults().failRegistryOpen("Windows NT\\CurrentVersion");
  EXPECT_EQ(FindDriveLetterForSerial(locked.services(), kSerialA), 0);
  EXPECT_EQ(locked.openRegistryKeyCount(), 0u);
}

TEST_F(DriveLettersTest, ProductNameWithXpAndVistaTakesTheXpMethod) {
  world.setOs(OsPreset::WindowsXP);
  AddNormalPlayer(world, kSerialA, 'E');
  SetProductName("Microsoft Windows XP Vista Edition");
  // Only the ParentIdPrefix names the volume on XP; the Vista method would
  // look for the serial in the mounted path and miss.
  EXPECT_EQ(Letter(kSerialA), 'E');
  EXPECT_EQ(Serial('E'), kSerialA);

  // A Vista host whose name also says XP: the XP method finds no USBSTOR
  // prefix and gives up.
  sim::World vista;
  vista.setOs(OsPreset::Vista);
  AddNormalPlayer(vista, kSerialA, 'E');
  vista.registry().setString(RegistryRoot::LocalMachine, sim::reg_path::kCurrentVersion,
                             "ProductName", "Microsoft Windows XP Vista Edition");
  EXPECT_EQ(FindDriveLetterForSerial(vista.services(), kSerialA), 0);
}

// --- Windows 2000/XP ----------------------------------------------------------

TEST_F(DriveLettersTest, XpNeedsTheParentIdPrefix) {
  world.setOs(OsPreset::WindowsXP);
  AddNormalPlayer(world, kSerialA, 'E');
  const std::string key = std::string(sim::reg_path::kUsbStorPlayer) + "\\" + kSerialA + "&0";
  world.registry().removeValue(RegistryRoot::LocalMachine, key, "ParentIdPrefix");
  EXPECT_EQ(Letter(kSerialA), 0);
  world.registry().removeKey(RegistryRoot::LocalMachine, key);
  EXPECT_EQ(Letter(kSerialA), 0);
}

TEST_F(DriveLettersTest, XpWithoutMountedDevicesFindsNothing) {
  world.setOs(OsPreset::WindowsXP);
  AddNormalPlayer(world, kSerialA, 'E');
  world.faults().failRegistryOpen("MountedDevices");
  EXPECT_EQ(Letter(kSerialA), 0);
  EXPECT_EQ(Serial('E'), std::nullopt);
}

TEST_F(DriveLettersTest, XpUsesTheFirst33CharactersOfTheSerial) {
  world.setOs(OsPreset::WindowsXP);
  const std::string serial(33, '7');
  AddNormalPlayer(world, serial, 'E');
  EXPECT_EQ(Letter(serial + "TRAILING"), 'E');
}

TEST_F(DriveLettersTest, XpLooksAt161BytesAnd81Characters) {
  world.setOs(OsPreset::WindowsXP);
  AddNormalPlayer(world, kSerialA, 'E');
  const std::string prefix = ParentIdPrefix(kSerialA);
  ASSERT_FALSE(prefix.empty());
  RemoveMounted('E');
  const auto lastCharAt = [&](std::size_t index) {
    return std::string(index + 1 - prefix.size(), '#') + prefix;
  };

  // A device path in UTF-16: 161 bytes hold characters 0 to 80.
  SetMounted('G', Bytes(sim::Utf16Le(lastCharAt(80))));
  EXPECT_EQ(Letter(kSerialA), 'G');
  SetMounted('G', Bytes(sim::Utf16Le(lastCharAt(81))));
  EXPECT_EQ(Letter(kSerialA), 0);

  // Bytes without zeros: only the first 81 are kept.
  SetMounted('G', Bytes(lastCharAt(80)));
  EXPECT_EQ(Letter(kSerialA), 'G');
  SetMounted('G', Bytes(lastCharAt(81)));
  EXPECT_EQ(Letter(kSerialA), 0);
  EXPECT_EQ(Serial('G'), std::nullopt);

  // Zeros count against the 161 bytes: a prefix ending in byte 161 is cut.
  std::vector<std::uint8_t> late(161 - prefix.size(), 0);
  late.insert(late.end(), prefix.begin(), prefix.end());
  SetMounted('G', late);
  EXPECT_EQ(Letter(kSerialA), 'G');
  late.insert(late.begin(), 0);
  SetMounted('G', late);
  EXPECT_EQ(Letter(kSerialA), 0);
}

TEST_F(DriveLettersTest, XpSerialLookupGivesUpAtTheFirstPlayerWithoutPrefix) {
  world.setOs(OsPreset::WindowsXP);
  AddNormalPlayer(world, kSerialA, 'E');
  AddNormalPlayer(world, kSerialB, 'F');
  ASSERT_EQ(Serial('F'), kSerialB);

  world.registry().removeValue(RegistryRoot::LocalMachine,
                               std::string(sim::reg_path::kUsbStorPlayer) + "\\" + kSerialA + "&0",
                               "ParentIdPrefix");
  EXPECT_EQ(Serial('F'), std::nullopt);
  EXPECT_EQ(Letter(kSerialB), 'F');  // the other direction only needs B's prefix
}

// --- Vista / Windows 7 --------------------------------------------------------

TEST_F(DriveLettersTest, VistaMatchesAnySubstringOfAMountedPath) {
  AddNormalPlayer(world, "AB12CD34EF56", 'E');
  AddNormalPlayer(world, "12CD34", 'F');
  // F's serial occurs inside E's path, and E comes first.
  EXPECT_EQ(Letter("12CD34"), 'E');
  EXPECT_EQ(Letter("Ven_Korvane"), 'E');
  // Driving the other way, E's path holds both serials; the first player
  // the device list names wins.
  EXPECT_EQ(Serial('E'), "AB12CD34EF56");
  EXPECT_EQ(Serial('F'), "12CD34");
}

TEST_F(DriveLettersTest, VistaUsesTheFirst33CharactersOfTheSerial) {
  AddNormalPlayer(world, kSerialA, 'E');
  // 16 characters of serial and 17 of what follows it in the mounted path.
  const std::string first33 = std::string(kSerialA) + "&0#{53f56307-b6bf";
  ASSERT_EQ(first33.size(), 33u);
  EXPECT_EQ(Letter(first33 + "-not-in-the-path"), 'E');
  EXPECT_EQ(Letter(first33.substr(0, 32) + "-not-in-the-path"), 0);
}

TEST_F(DriveLettersTest, VistaNarrows259CharactersForLettersAnd1023ForSerials) {
  AddNormalPlayer(world, kSerialA, 'E');
  RemoveMounted('E');
  const std::string serial = kSerialA;
  const auto lastCharAt = [&](std::size_t index) {
    return std::string(index + 1 - serial.size(), '#') + serial;
  };

  SetMounted('G', Bytes(sim::Utf16Le(lastCharAt(258))));
  EXPECT_EQ(Letter(kSerialA), 'G');
  SetMounted('G', Bytes(sim::Utf16Le(lastCharAt(259))));
  EXPECT_EQ(Letter(kSerialA), 0);
  EXPECT_EQ(Serial('G'), kSerialA);  // the reverse lookup keeps more

  // A full 1024-byte value without zeros keeps 1023 characters.
  SetMounted('G', Bytes(lastCharAt(1022)));
  EXPECT_EQ(Serial('G'), kSerialA);
  SetMounted('G', Bytes(lastCharAt(1023)));
  EXPECT_EQ(Serial('G'), std::nullopt);
  // Larger than the read buffer: the read fails.
  SetMounted('G', Bytes(lastCharAt(1024)));
  EXPECT_EQ(Serial('G'), std::nullopt);
}

TEST_F(DriveLettersTest, VistaSerialIsAtMost32Characters) {
  const std::string serial = "0000KX7T4A2C19F0AAAABBBBCCCCDDDDEEEEFFFF";
  AddNormalPlayer(world, serial, 'E');
  EXPECT_EQ(Serial('E'), serial.substr(0, 32));
}

TEST_F(DriveLettersTest, SerialCountsPlayersByDriveAndNamesThemByDeviceList) {
  // A is in the device list without a drive letter: the scan counts one
  // player, so only the device list's first player, A, is tried for F.
  AddNormalPlayer(world, kSerialA, 0);
  AddNormalPlayer(world, kSerialB, 'F');
  EXPECT_EQ(Letter(kSerialB), 'F');
  EXPECT_EQ(Serial('F'), std::nullopt);
}

// --- Host OS classification ----------------------------------------------------

TEST_F(DriveLettersTest, ClassifiesTheHostOs) {
  struct Case {
    OsPreset os;
    bool is64Bit;
    HostOs code;
  };
  for (const Case& c : std::vector<Case>{{OsPreset::Windows2000, false, HostOs::Windows2000},
                                         {OsPreset::WindowsXP, false, HostOs::WindowsXp},
                                         {OsPreset::Server2003, false, HostOs::Server2003},
                                         {OsPreset::Vista, false, HostOs::Vista},
                                         {OsPreset::Vista, true, HostOs::Vista64},
                                         {OsPreset::Windows7, true, HostOs::Later},
                                         {OsPreset::Windows81, true, HostOs::Later},
                                         {OsPreset::Windows10, false, HostOs::Later},
                                         {OsPreset::Windows11, true, HostOs::Later}}) {
    sim::World host;
    host.setOs(c.os);
    host.set64Bit(c.is64Bit);
    EXPECT_EQ(ClassifyHostOs(host.services()), c.code) << static_cast<int>(c.os) << c.is64Bit;
    EXPECT_EQ(host.openRegistryKeyCount(), 0u);
  }
  for (const auto& [version, code] :
       std::vector<std::pair<platform::OsVersion, HostOs>>{{{5, 7}, HostOs::Server2003},
                                                           {{4, 0}, HostOs::Later},
                                                           {{6, 3}, HostOs::Later},
                                                           {{10, 0}, HostOs::Later}}) {
    world.setOsVersion(version);
    EXPECT_EQ(ClassifyHostOs(world.services()), code) << version.major << "." << version.minor;
  }
}

}  // namespace
}  // namespace kx7::test
