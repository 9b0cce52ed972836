// Worlds described in scenario files: what a bad file is refused with, what
// a good one builds, and every shipped scenario doing what it says, driven
// through the Library as a host application drives the exports.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>

#include "kx7fw/kx7fw.h"
#include "sim/scenario/scenario_file.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

using sim::PlayerMode;

struct BrokenFile {
  const char* text;
  const char* place;   // what the error starts with, after the file name
  const char* reason;  // text the error must hold
};

// One well-formed player, for rows about what follows it.
#define PLAYER R"({"serial": "A", "letter": "E"})"

const BrokenFile kBrokenFiles[] = {
    // Syntax: line and column.
    {"{\n  \"name\": \"x\",\n  \"players\": [\n    {\"serial\": \"A\" \"letter\": \"E\"}\n  ]\n}",
     ":4:27: ", "syntax error"},
    {"", ":1:1: ", "unexpected end of input"},
    // The document and its keys.
    {"[]", ": ", "not an object"},
    {R"({"player": []})", ": /player: ", "unknown key (did you mean \"players\"?)"},
    {R"({"name": "a", "name": "b"})", ": /name: ", "key given twice"},
    {R"({"players": [)" PLAYER R"(, {"serial": "B", "serial": "C"}]})",
     ": /players/1/serial: ", "key given twice"},
    {R"({"players": [{"serial": "A", "leter": "E"}]})",
     ": /players/0/leter: ", "unknown key (did you mean \"letter\"?)"},
    {R"({"players": [{"serial": "A"}]})", ": /players/0: ", "missing key \"letter\""},
    // Players.
    {R"({"players": [{"serial": "A", "letter": "EE"}]})",
     ": /players/0/letter: ", "not a drive letter"},
    {R"({"players": [{"serial": "A", "letter": "C"}]})",
     ": /players/0/letter: ", "C: is already a drive of the host"},
    {R"({"players": [)" PLAYER R"(, {"serial": "B", "letter": "e:"}]})",
     ": /players/1/letter: ", "E: is already the letter of player A"},
    {R"({"players": [)" PLAYER R"(, {"serial": "A", "letter": "F"}]})",
     ": /players/1/serial: ", "serial given twice"},
    {R"({"players": [{"serial": "A", "letter": "E", "mode": "asleep"}]})", ": /players/0/mode: ",
     "unknown value \"asleep\" (one of: normal, rom-recovery, updater, unplugged)"},
    {R"({"players": [{"serial": "A", "letter": "E", "protocolVersion": 256}]})",
     ": /players/0/protocolVersion: ", "256 is out of range 0..255"},
    {R"({"players": [{"serial": "A", "letter": "E", "mediaSize": "128 MB"}]})",
     ": /players/0/mediaSize: ", "not a size"},
    {R"({"players": [{"serial": "A", "letter": "E", "mediaSize": "99999999999 GiB"}]})",
     ": /players/0/mediaSize: ", "too large a size"},
    {R"({"players": [{"serial": "A", "letter": "E", "mediaSize": "64 MiB"}]})",
     ": /players/0/mediaSize: ", "the drives take 75497472 bytes, more than the media's 67108864"},
    {R"({"players": [{"serial": "A", "letter": "E", "region": "0x1FF"}]})",
     ": /players/0/region: ", "511 is out of range 0..255"},
    {R"({"players": [{"serial": "A", "letter": "E", "settingsFiles": {"A/B": {"text": ""}}}]})",
     ": /players/0/settingsFiles/A~1B: ", "not a file name"},
    {R"({"players": [{"serial": "A", "letter": "E", "settingsFiles": {"X": {"hex": "4b5"}}}]})",
     ": /players/0/settingsFiles/X/hex: ", "an odd number of hex digits"},
    // Drive tables.
    {R"({"players": [{"serial": "A", "letter": "E", "drives": [
        {"type": "system", "tag": "0x50", "size": "4 KiB",
         "content": {"product": [1, 0, 0], "size": 8192}}]}]})",
     ": /players/0/drives/0/content: ", "8192 bytes do not fit the drive's 4096"},
    {R"({"players": [{"serial": "A", "letter": "E", "drives": [
        {"type": "system", "tag": "0x50", "size": 4096},
        {"type": "system", "tag": 80, "size": 4096}]}]})",
     ": /players/0/drives/1: ", "tag given twice"},
    {R"({"players": [{"serial": "A", "letter": "E", "drives": [
        {"type": "system", "tag": "0xZZ", "size": 4096}]}]})",
     ": /players/0/drives/0/tag: ", "not a number (\"0xZZ\"; hex is written 0x50)"},
    // Host and firmware.
    {R"({"host": {"os": "windows-95"}})", ": /host/os: ", "unknown value \"windows-95\""},
    {R"({"host": {"drives": [{"letter": "D", "type": "fixed"}, {"letter": "d", "type": "cdrom"}]}})",
     ": /host/drives/1/letter: ", "drive letter given twice"},
    {R"({"host": {"drives": [{"letter": "D", "type": "floppy"}]}})",
     ": /host/drives/0/type: ", "unknown value \"floppy\""},
    {R"({"host": {"files": {"Q:\\x.txt": {"text": "x"}}}})",
     ": /host/files/Q:\\x.txt: ", "the host has no drive Q:"},
    {R"({"firmware": {"folder": "Firmware"}})",
     ": /firmware/folder: ", "not a Windows path such as \"C:\\Folder\\file\""},
    {R"({"firmware": {"files": {"firmware.sb": {"product": [1, 2]}}}})",
     ": /firmware/files/firmware.sb/product: ", "not a version"},
    {R"({"firmware": {"realFolder": "/nonexistent/kx7fw/firmware"}})",
     ": /firmware/realFolder: ", "no such folder on this machine: /nonexistent/kx7fw/firmware"},
    {R"({"firmware": {"realFolder": "/", "files": {}}})",
     ": /firmware/realFolder: ", "a real folder comes alone"},
    // Faults.
    {R"({"players": [)" PLAYER R"(], "faults": [{"fault": "fail-everything"}]})",
     ": /faults/0/fault: ", "unknown fault \"fail-everything\" (one of: scsi-not-delivered,"},
    {R"({"faults": [{"opcode": "0xC1"}]})", ": /faults/0: ", "missing key \"fault\""},
    {R"({"faults": [{"fault": "fail-geometry", "tag": "0x50"}]})",
     ": /faults/0/tag: ", "unknown key"},
    {R"({"players": [)" PLAYER R"(], "faults": [{"fault": "unplug", "player": 1, "atMs": 0}]})",
     ": /faults/0/player: ", "1 is out of range 0..0"},
    {R"({"players": [)" PLAYER R"(], "faults": [{"fault": "plug-in", "player": "B", "atMs": 0}]})",
     ": /faults/0/player: ", "no player has the serial \"B\""},
    // The forms the fault matrix writes its rows in.
    {R"({"faults": [{"fault": "scsi-not-delivered", "cdb": "c1 23", "opcode": "0xC1"}]})",
     ": /faults/0/cdb: ", "give \"cdb\" or \"opcode\", not both"},
    {R"({"faults": [{"fault": "scsi-short-answer", "cdb": "", "keep": 1}]})",
     ": /faults/0/cdb: ", "a CDB start of 1 to 16 bytes"},
    {R"({"faults": [{"fault": "scsi-altered-answer", "cdb": "12", "offset": 0, "bytes": ""}]})",
     ": /faults/0/bytes: ", "no bytes"},
    {R"({"faults": [{"fault": "fail-hid-enumeration", "from": 5, "to": 2}]})",
     ": /faults/0/to: ", "2 is out of range 5..4096"},
    {R"({"faults": [{"fault": "fail-hid-enumeration", "index": 1, "from": 0, "to": 2}]})",
     ": /faults/0/index: ", "give \"index\" or \"from\" and \"to\", not both"},
    {R"({"faults": [{"fault": "truncate-file", "path": "C:\\x", "size": 1, "fromOpen": 0}]})",
     ": /faults/0/fromOpen: ", "0 is out of range 1..4294967295"},
};

TEST(ScenarioFileTest, RefusesBrokenFilesWithPlaceAndReason) {
  for (const BrokenFile& row : kBrokenFiles) {
    SCOPED_TRACE(row.text);
    sim::World world;
    sim::ScenarioInfo info;
    std::string error;
    EXPECT_FALSE(sim::LoadScenarioText(row.text, "bad.json", world, info, error));
    const std::string place = std::string("bad.json") + row.place;
    EXPECT_EQ(error.substr(0, place.size()), place) << error;
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    // Nothing of a refused file reaches the world.
    EXPECT_EQ(world.playerCount(), 0u);
  }
}

TEST(ScenarioFileTest, UnreadableFileIsNamed) {
  sim::World world;
  sim::ScenarioInfo info;
  std::string error;
  EXPECT_FALSE(sim::LoadScenarioFile("/nonexistent/world.json", world, info, error));
  EXPECT_EQ(error, "/nonexistent/world.json: cannot be read");
}

// The host, players and faults a file gives are what the library meets.
TEST(ScenarioFileTest, BuildsTheWorldItDescribes) {
  const std::string text = R"({
    "description": "every part once",
    "host": {"os": "windows-xp", "modulePath": "D:\\Apps\\Updater.exe",
             "drives": [{"letter": "D", "type": "fixed"}]},
    "firmware": {"folder": "D:\\Apps\\Fw", "files": {
      "firmware.sb": {"product": [4, 5, 6], "size": 8192, "seed": 2},
      "notes.txt": {"text": "not firmware"}}},
    "players": [
      {"serial": "A", "letter": "E", "region": 93,
       "drives": [{"type": "data", "tag": "0x0A", "size": "8 MiB"},
                  {"type": "system", "tag": "0x50", "size": "1 MiB", "product": [4, 5, 6],
                   "content": {"product": [4, 5, 6], "size": 8192, "seed": 2}}]},
      {"serial": "B", "letter": "G", "mode": "unplugged"}],
    "faults": [{"fault": "plug-in", "player": "B", "atMs": 1000},
               {"fault": "fail-file-open", "path": "D:\\Apps\\Fw\\notes.txt"}]
  })";
  sim::World world;
  Library library(world.services());
  sim::ScenarioInfo info;
  std::string error;
  ASSERT_TRUE(sim::LoadScenarioText(text, "/tmp/every-part.json", world, info, error)) << error;
  EXPECT_EQ(info.name, "every-part");
  EXPECT_EQ(info.description, "every part once");
  EXPECT_EQ(info.firmwareFolder, "D:\\Apps\\Fw\\");
  EXPECT_EQ(info.serials, (std::vector<std::string>{"A", "B"}));

  char local[16] = {};
  ASSERT_EQ(library.GetLocalVersion(info.firmwareFolder.c_str(), local, sizeof local), 0);
  EXPECT_STREQ(local, "4.05");
  char list[26] = {};
  EXPECT_EQ(library.MSCDeviceList(list), 1);  // B is not plugged in yet
  world.sleep(1000);
  EXPECT_EQ(library.MSCDeviceList(list), 2);

  DeviceInfo device{};
  ASSERT_EQ(library.GetDeviceInfo("A", &device), 0);
  EXPECT_STREQ(device.FirmwareVersion, "4.05");
  EXPECT_STREQ(device.RegionCode, "93");
  // The settings backup goes to the Temp folder of the drive the host
  // application runs from.
  EXPECT_TRUE(world.files().hasFile("D:\\Temp\\A\\PERSIST.BIN"));
  EXPECT_EQ(
      world.services().files.openForReading("D:\\Apps\\Fw\\notes.txt", platform::OpenMode::Binary),
      nullptr);
}

// ----------------------------------------------------------------------------
// The shipped scenarios, each doing what its description says.

struct Shipped {
  const char* file;
  std::function<void(sim::World&, Library&, const sim::ScenarioInfo&)> check;
};

std::string FirmwareOf(Library& library, const std::string& serial) {
  DeviceInfo info{};
  if (library.GetDeviceInfo(serial.c_str(), &info) != 0) return "(none)";
  return info.FirmwareVersion;
}

const Shipped kShipped[] = {
    {"clean-update.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       const char* serial = info.serials.at(0).c_str();
       EXPECT_EQ(library.NeedRecovery(serial, info.firmwareFolder.c_str()), 1);
       EXPECT_EQ(library.DoNormalUpdate(serial, info.firmwareFolder.c_str()), 0);
       world.sleep(10000);
       EXPECT_EQ(FirmwareOf(library, serial), "2.03");
     }},
    {"firmware-too-large.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       const char* serial = info.serials.at(0).c_str();
       EXPECT_EQ(library.NeedRecovery(serial, info.firmwareFolder.c_str()), 0);
       world.unplug(0, world.clock().now());
       world.plugInForRecovery(0, world.clock().now());
       EXPECT_EQ(library.DoRecoveryUpdate(serial, info.firmwareFolder.c_str()), 0);
       world.sleep(10000);
       EXPECT_EQ(FirmwareOf(library, serial), "3.00");
       EXPECT_GE(world.player(0).driveByTag(0x50)->sizeBytes, 2404369u);
     }},
    {"rom-recovery.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       DeviceInfo device{};
       ASSERT_EQ(library.GetDeviceInfo("", &device), 0);
       EXPECT_STREQ(device.Mode, "REC");
       EXPECT_EQ(library.DoRecoveryUpdate("", info.firmwareFolder.c_str()), 0);
       world.sleep(10000);
       ASSERT_EQ(library.GetDeviceInfo(info.serials.at(0).c_str(), &device), 0);
       EXPECT_STREQ(device.Mode, "MSC");
       EXPECT_STREQ(device.DriveLetterText, "F");
       EXPECT_STREQ(device.FirmwareVersion, "2.03");
       EXPECT_STREQ(device.RegionCode, "93");  // from the host's earlier backup
     }},
    {"two-players.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       char list[26] = {};
       EXPECT_EQ(library.MSCDeviceList(list), 2);
       EXPECT_EQ(library.DoNormalUpdate(info.serials.at(0).c_str(), info.firmwareFolder.c_str()),
                 0);
       // The other player is looked at but never written, erased or reset.
       for (const sim::Event& e : world.transcript().of(sim::EventKind::Scsi)) {
         if (e.target != "\\\\.\\G:") continue;
         EXPECT_NE(e.bytes.at(0), 0xC1) << sim::ToHex(e.bytes);
       }
       world.sleep(10000);
       EXPECT_EQ(FirmwareOf(library, info.serials.at(0)), "2.03");
       EXPECT_EQ(FirmwareOf(library, info.serials.at(1)), "2.03");
     }},
    {"no-player.json",
     [](sim::World&, Library& library, const sim::ScenarioInfo& info) {
       char list[26] = {};
       EXPECT_EQ(library.MSCDeviceList(list), 0);
       DeviceInfo device{};
       EXPECT_EQ(library.GetDeviceInfo("0000KX7T4A2C19F0", &device), 1);
       char local[16] = {};
       EXPECT_EQ(library.GetLocalVersion(info.firmwareFolder.c_str(), local, sizeof local), 0);
       EXPECT_STREQ(local, "2.03");
     }},
    {"fault-readback-differs.json",
     [](sim::World&, Library& library, const sim::ScenarioInfo& info) {
       EXPECT_EQ(library.DoNormalUpdate(info.serials.at(0).c_str(), info.firmwareFolder.c_str()),
                 7);
     }},
    {"fault-updater-never-comes.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       EXPECT_EQ(library.DoNormalUpdate(info.serials.at(0).c_str(), info.firmwareFolder.c_str()),
                 6);
       EXPECT_GT(world.player(0).hidReportsReceived(), 0u);  // the download went through
     }},
    {"fault-dismount-refused.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       EXPECT_EQ(library.DoRecoveryUpdate("", info.firmwareFolder.c_str()), 10);
       EXPECT_FALSE(world.transcript().of(sim::EventKind::Dismount).empty());
     }},
    {"fault-unplugged-during-update.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       const char* serial = info.serials.at(0).c_str();
       EXPECT_EQ(library.DoNormalUpdate(serial, info.firmwareFolder.c_str()), 6);
       world.sleep(60000);
       EXPECT_EQ(world.player(0).mode, PlayerMode::Normal);
       EXPECT_EQ(FirmwareOf(library, serial), "1.01");
     }},
    {"fault-erase-refused.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       EXPECT_EQ(library.DoNormalUpdate(info.serials.at(0).c_str(), info.firmwareFolder.c_str()),
                 0);
       std::size_t refused = 0;
       for (const sim::Event& e : world.transcript().of(sim::EventKind::Scsi))
         if (e.outcome == "check-condition" && e.bytes.at(1) == 0x2F) ++refused;
       EXPECT_EQ(refused, 1u);
     }},
    {"fault-switch-ignored.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       const char* serial = info.serials.at(0).c_str();
       EXPECT_EQ(library.DoNormalUpdate(serial, info.firmwareFolder.c_str()), 4);
       EXPECT_EQ(world.player(0).mode, PlayerMode::Normal);
       EXPECT_EQ(FirmwareOf(library, serial), "1.01");
     }},
    {"stall-at-first-erase.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       std::vector<std::uint32_t> stalls;
       world.setStallHandler([&](std::uint32_t ms) { stalls.push_back(ms); });
       EXPECT_EQ(library.DoNormalUpdate(info.serials.at(0).c_str(), info.firmwareFolder.c_str()),
                 0);
       EXPECT_EQ(stalls, std::vector<std::uint32_t>{60000});
     }},
    {"two-players-in-rom-recovery.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       EXPECT_EQ(library.DoRecoveryUpdate("", info.firmwareFolder.c_str()), 0);
       world.sleep(10000);
       // One is rebuilt, the other still waits.
       const int normal = (world.player(0).mode == PlayerMode::Normal) +
                          (world.player(1).mode == PlayerMode::Normal);
       EXPECT_EQ(normal, 1);
     }},
    {"tiny-media.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       EXPECT_EQ(library.NeedRecovery(info.serials.at(0).c_str(), info.firmwareFolder.c_str()), 0);
       world.unplug(0, world.clock().now());
       world.plugInForRecovery(0, world.clock().now());
       EXPECT_EQ(library.DoRecoveryUpdate("", info.firmwareFolder.c_str()), 10);
     }},
    {"odd-serials.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       EXPECT_EQ(library.DoNormalUpdate("kx7-a1", info.firmwareFolder.c_str()), 0);
       world.sleep(10000);
       EXPECT_EQ(FirmwareOf(library, "kx7-a1"), "2.03");
       EXPECT_EQ(FirmwareOf(library, "0000KX7T-C.D"), "1.01");
     }},
    {"songs-on-the-player.json",
     [](sim::World& world, Library& library, const sim::ScenarioInfo& info) {
       EXPECT_EQ(world.player(0).rootFiles.count("SONG01.MP3"), 1u);
       world.unplug(0, world.clock().now());
       world.plugInForRecovery(0, world.clock().now());
       EXPECT_EQ(library.DoRecoveryUpdate("", info.firmwareFolder.c_str()), 0);
       world.sleep(10000);
       EXPECT_EQ(world.player(0).rootFiles.count("SONG01.MP3"), 0u);  // erased
     }},
};

TEST(ShippedScenarioTest, EachDoesWhatItSays) {
  std::set<std::string> covered;
  for (const Shipped& row : kShipped) {
    SCOPED_TRACE(row.file);
    covered.insert(row.file);
    sim::World world;
    Library library(world.services());
    sim::ScenarioInfo info;
    std::string error;
    ASSERT_TRUE(
        sim::LoadScenarioFile(std::string(KX7FW_SCENARIO_DIR) + "/" + row.file, world, info, error))
        << error;
    EXPECT_FALSE(info.description.empty());
    row.check(world, library, info);
  }
  // A new scenario comes with its own row.
  for (const auto& entry : std::filesystem::directory_iterator(KX7FW_SCENARIO_DIR))
    EXPECT_TRUE(covered.count(entry.path().filename().string())) << entry.path();
}

}  // namespace
}  // namespace kx7::test
