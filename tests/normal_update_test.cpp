// The normal update end to end, through the Library as the host application
// calls it, on the default simulated world: a player at E: running firmware
// 1.01 and firmware 2.03 in the updater's folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kx7fw/kx7fw.h"
#include "sim/scenario/default_scenario.h"
#include "sim/scenario/sb_file.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

using sim::DefaultScenario;
using sim::EventKind;
using sim::PlayerMode;

class NormalUpdateTest : public SimFixture {
 protected:
  NormalUpdateTest() { sim::BuildDefaultScenario(world); }

  int Update() { return library.DoNormalUpdate(DefaultScenario::kSerial, kFolder.c_str()); }
  sim::Player& Player() { return world.player(0); }
  std::vector<std::uint8_t> DriveBytes(std::uint8_t tag, std::size_t length) {
    return Player().driveByTag(tag)->media.read(0, length);
  }
  // Lets the player finish whatever it started (a reboot after the chip reset).
  void LetPlayerSettle() { world.sleep(10000); }

  const std::string kFolder = DefaultScenario::kFirmwareFolder;
  const std::vector<std::uint8_t> firmware = sim::DefaultFirmwareFile();
  const std::vector<std::uint8_t> updater = sim::DefaultUpdaterFile();
};

// One line per exchange, in the words the transcript uses.
std::string Line(const sim::Event& e) {
  switch (e.kind) {
    case EventKind::Scsi:
      return "scsi " + e.target + " " + sim::ToHex(e.bytes) + " " + e.name + " " +
             std::to_string(e.length) + " " + std::to_string(e.timeout);
    case EventKind::Sleep:
      return "sleep " + std::to_string(e.value);
    case EventKind::Lock:
      return std::string("lock ") + (e.ok ? "ok" : "refused");
    case EventKind::Unlock:
      return std::string("unlock ") + (e.ok ? "ok" : "failed");
    case EventKind::Notify:
      return "notify " + std::to_string(e.value) + " " + e.target;
    case EventKind::HidReport:
      return "hid " + std::to_string(e.bytes.empty() ? -1 : e.bytes[0]) + " " +
             std::to_string(e.length);
    default:
      return "";
  }
}

std::string Cdb(std::vector<std::uint8_t> head) {
  return sim::ToHex(Cdb16(std::move(head)));
}

// The queries a session sends when it opens a player's volume: identity,
// media, capacity, then the drive table with each drive's version and
// sector size in tag order.
std::vector<std::string> OpenQueries(const std::string& target) {
  const std::string s = "scsi " + target + " ";
  std::vector<std::string> lines = {
      s + Cdb({0xC0, 0x00}) + " in 2 120",       s + "120000006000 in 96 120",
      s + Cdb({0xC0, 0x02, 0x09}) + " in 1 120", s + Cdb({0xC0, 0x30}) + " in 2 120",
      s + Cdb({0xC0, 0x37}) + " in 2 120",       s + Cdb({0xC0, 0x02, 0x06}) + " in 4 120",
      s + "25000000000000000000 in 8 120",       s + Cdb({0xC0, 0x05, 0x14}) + " in 222 120",
  };
  // Drive numbers of the factory layout in tag order: 0x0A 0x0B 0x0C 0x50
  // 0x60 0x70 0xA0 0xFF.
  const std::uint8_t numbers[] = {0, 1, 8, 2, 3, 4, 5, 6};
  for (std::uint8_t n : numbers) lines.push_back(s + Cdb({0xC0, 0x12, n, 0x08}) + " in 6 120");
  for (std::uint8_t n : numbers) lines.push_back(s + Cdb({0xC0, 0x12, n, 0x00}) + " in 4 120");
  return lines;
}

TEST_F(NormalUpdateTest, SucceedsWithTheWholeExchangeInOrder) {
  ASSERT_EQ(Update(), 0);

  std::vector<std::string> expected = OpenQueries("\\\\.\\E:");
  expected.push_back("scsi \\\\.\\E: " + Cdb({0xC1, 0x42}) + " none 0 120");
  expected.push_back("sleep 15000");
  // The updater: a command report and 1024 image bytes per data report.
  expected.push_back("hid 1 1025");
  for (std::size_t i = 0; i < (updater.size() + 1023) / 1024; ++i) expected.push_back("hid 2 1025");
  expected.push_back("sleep 5000");
  expected.push_back("sleep 15000");
  // The updater is found at E:, the shell is told the media goes, the
  // volume is locked and allowed to settle.
  for (const std::string& line : OpenQueries("\\\\.\\E:")) expected.push_back(line);
  expected.push_back("notify 64 E:\\");
  expected.push_back("lock ok");
  expected.push_back("sleep 5000");
  expected.push_back("sleep 5000");
  // Each firmware drive: erase, versions 2.03.14 / 2.03.7 (type 8 then 7),
  // then 64 KiB chunks of 2048-byte sectors, the last with 20 s.
  const std::size_t chunks = (firmware.size() + 65535) / 65536;
  for (std::uint8_t n : {2, 3, 4}) {
    expected.push_back("scsi \\\\.\\E: " + Cdb({0xC1, 0x2F, n}) + " none 0 120");
    expected.push_back("scsi \\\\.\\E: " + Cdb({0xC1, 0x20, n, 8, 0, 2, 0, 3, 0, 14}) +
                       " none 0 120");
    expected.push_back("scsi \\\\.\\E: " + Cdb({0xC1, 0x20, n, 7, 0, 2, 0, 3, 0, 7}) +
                       " none 0 120");
    for (std::size_t c = 0; c < chunks; ++c) {
      const auto start = static_cast<std::uint8_t>(c * 32);
      expected.push_back(
          "scsi \\\\.\\E: " + Cdb({0xC1, 0x23, n, 0, 0, 0, 0, 0, 0, 0, start, 0, 0, 0, 32}) +
          " out 65536 " + (c + 1 == chunks ? "20" : "120"));
    }
  }
  // Read-back of whole sectors: full chunks, then the rest.
  const std::size_t sectors = (firmware.size() + 2047) / 2048;
  for (std::uint8_t n : {2, 3, 4}) {
    for (std::size_t c = 0; c < sectors / 32; ++c)
      expected.push_back("scsi \\\\.\\E: " +
                         Cdb({0xC0, 0x13, n, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(c * 32),
                              0, 0, 0, 32}) +
                         " in 65536 120");
    const auto rest = static_cast<std::uint8_t>(sectors % 32);
    expected.push_back("scsi \\\\.\\E: " +
                       Cdb({0xC0, 0x13, n, 0, 0, 0, 0, 0, 0, 0,
                            static_cast<std::uint8_t>(sectors / 32 * 32), 0, 0, 0, rest}) +
                       " in " + std::to_string(rest * 2048) + " 120");
  }
  expected.push_back("scsi \\\\.\\E: " + Cdb({0xC1, 0x31}) + " none 0 120");
  // The chip reset took the handle with it: the unlock finds nothing.
  for (int i = 0; i < 10; ++i) {
    expected.push_back("unlock failed");
    expected.push_back("sleep 100");
  }

  std::vector<std::string> actual;
  for (const sim::Event& e : world.transcript().events())
    if (const std::string line = Line(e); !line.empty()) actual.push_back(line);
  EXPECT_EQ(actual, expected);

  // 45 s of fixed waits plus the unlock attempts on the vanished handle.
  EXPECT_EQ(Now(), 46000u);
  EXPECT_EQ(library.CurrentDevice(), nullptr);
  EXPECT_FALSE(library.Busy());
}

TEST_F(NormalUpdateTest, PlayerComesBackWithTheNewFirmware) {
  ASSERT_EQ(Update(), 0);
  EXPECT_EQ(Player().receivedImage(), updater);
  EXPECT_FALSE(Player().hidProtocolError());
  LetPlayerSettle();
  ASSERT_EQ(Player().mode, PlayerMode::Normal);
  for (std::uint8_t tag : {0x50, 0x60, 0x70}) {
    const sim::SimDrive& drive = *Player().driveByTag(tag);
    EXPECT_EQ(drive.media.read(0, firmware.size()), firmware) << int(tag);
    EXPECT_EQ(drive.productVersion, (sim::Triple{2, 3, 14}));
    EXPECT_EQ(drive.componentVersion, (sim::Triple{2, 3, 7}));
    // The rest of the last 64 KiB chunk went out as 0xFF.
    const std::size_t chunkEnd = (firmware.size() + 65535) / 65536 * 65536;
    const auto tail = drive.media.read(firmware.size(), chunkEnd - firmware.size());
    EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](std::uint8_t b) { return b == 0xFF; }));
  }
  DeviceInfo info{};
  ASSERT_EQ(library.GetDeviceInfo(DefaultScenario::kSerial, &info), 0);
  EXPECT_STREQ(info.Mode, "MSC");
  EXPECT_STREQ(info.FirmwareVersion, "2.03");
}

TEST_F(NormalUpdateTest, ArgumentsAreCheckedBeforeAnyDeviceWork) {
  EXPECT_EQ(library.DoNormalUpdate("", kFolder.c_str()), 10);
  EXPECT_EQ(library.DoNormalUpdate(nullptr, kFolder.c_str()), 10);
  EXPECT_EQ(library.DoNormalUpdate(DefaultScenario::kSerial, ""), 11);
  // A serial no player has.
  EXPECT_EQ(library.DoNormalUpdate("0000NOSUCHPLAYER", kFolder.c_str()), 10);
  EXPECT_TRUE(Scsi().empty());
  EXPECT_FALSE(library.Busy());
}

TEST_F(NormalUpdateTest, PlayerNotInNormalModeAtItsLetterGivesTwo) {
  // The registry still names E: for the serial, but the player is gone.
  world.unplug(0, Now());
  EXPECT_EQ(Update(), 2);
  EXPECT_TRUE(Scsi().empty());
}

TEST_F(NormalUpdateTest, UpdaterAtTheLetterInsteadOfThePlayerGivesTwo) {
  Player().mode = PlayerMode::Updater;
  EXPECT_EQ(Update(), 2);
  EXPECT_TRUE(Scsi({0xC1, 0x42}).empty());
  EXPECT_EQ(Player().resetToRecoveryCount, 0u);
}

TEST_F(NormalUpdateTest, NoRecoveryDeviceGivesFour) {
  // A player speaking protocol 3 is never told to reset into recovery.
  Player().config.protocolVersion = 3;
  EXPECT_EQ(Update(), 4);
  EXPECT_TRUE(Events(EventKind::HidReport).empty());
  EXPECT_TRUE(Scsi({0xC1, 0x2F}).empty());
}

TEST_F(NormalUpdateTest, UnreadableRecoveryCapsGiveFour) {
  world.faults().failHidCaps();
  EXPECT_EQ(Update(), 4);
  EXPECT_TRUE(Events(EventKind::HidReport).empty());
}

TEST_F(NormalUpdateTest, UpdaterThatNeverShowsUpGivesSixWithDrivesUntouched) {
  Player().config.updaterStartDelayMs = 60000;
  const auto before = DriveBytes(0x50, firmware.size());
  EXPECT_EQ(Update(), 6);
  EXPECT_TRUE(Scsi({0xC1, 0x2F}).empty());
  EXPECT_TRUE(Scsi({0xC1, 0x23}).empty());
  EXPECT_EQ(DriveBytes(0x50, firmware.size()), before);
}

TEST_F(NormalUpdateTest, FirmwareFileThatDoesNotLoadGivesSixBeforeAnyErase) {
  world.files().addFile(kFolder + "firmware.sb", std::vector<std::uint8_t>(64, 0));
  EXPECT_EQ(Update(), 6);
  EXPECT_TRUE(Scsi({0xC1, 0x2F}).empty());
  // The updater was found and is still held, locked, for the host to retry.
  ASSERT_NE(library.CurrentDevice(), nullptr);
  EXPECT_TRUE(library.CurrentDevice()->VolumeLocked);
}

TEST_F(NormalUpdateTest, FailedChunkWriteGivesSix) {
  world.faults().failScsi(0xC1, 0x23, 2);
  EXPECT_EQ(Update(), 6);
}

TEST_F(NormalUpdateTest, ReadBackThatDiffersGivesSeven) {
  world.faults().corruptDriveRead(0x60, 70000);
  EXPECT_EQ(Update(), 7);
  // 0x50 was read back, 0x60 failed, 0x70 was not read.
  EXPECT_FALSE(Scsi({0xC0, 0x13, 2}).empty());
  EXPECT_FALSE(Scsi({0xC0, 0x13, 3}).empty());
  EXPECT_TRUE(Scsi({0xC0, 0x13, 4}).empty());
  EXPECT_TRUE(Scsi({0xC1, 0x31}).empty());
}

TEST_F(NormalUpdateTest, AnythingButErasedBytesAfterTheImageGivesSeven) {
  // The image itself reads back intact; one byte of its last sector after
  // the image does not.
  world.faults().corruptDriveRead(0x70, firmware.size() + 3);
  EXPECT_EQ(Update(), 7);
}

TEST_F(NormalUpdateTest, FailedUpdateThenSuccessfulRetry) {
  world.faults().corruptDriveRead(0x50, 100);
  ASSERT_EQ(Update(), 7);
  const DeviceSession* failed = library.CurrentDevice();
  ASSERT_NE(failed, nullptr);
  const platform::Handle heldHandle = failed->VolumeHandle;
  ASSERT_TRUE(heldHandle.isOpen());

  // The user unplugs the player and plugs it back in; it starts the firmware
  // that was written.
  world.faults().clearDriveReadCorruption();
  world.unplug(0, Now());
  world.plugIn(0, Now());
  ASSERT_EQ(Player().mode, PlayerMode::Normal);

  EXPECT_EQ(Update(), 0);
  // The record the failed run left was let go: its handle was closed.
  const auto closes = Events(EventKind::Close);
  EXPECT_TRUE(std::any_of(closes.begin(), closes.end(),
                          [&](const sim::Event& e) { return e.value == heldHandle.value(); }));
  EXPECT_EQ(library.CurrentDevice(), nullptr);
}

// Unloading the library after a failed update runs under the loader lock:
// the held updater is let go by closing its handle and nothing else.
TEST_F(NormalUpdateTest, UnloadAfterAFailedUpdateOnlyClosesTheHeldHandle) {
  world.faults().corruptDriveRead(0x50, 100);
  ASSERT_EQ(Update(), 7);
  ASSERT_NE(library.CurrentDevice(), nullptr);
  const platform::Handle held = library.CurrentDevice()->VolumeHandle;
  world.transcript().clear();

  library.ReleaseAtUnload();
  const auto& events = world.transcript().events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EventKind::Close);
  EXPECT_EQ(events[0].value, held.value());
  EXPECT_EQ(library.CurrentDevice(), nullptr);
  library.ReleaseAtUnload();  // nothing held: nothing done
  EXPECT_EQ(world.transcript().events().size(), 1u);
}

TEST_F(NormalUpdateTest, AutoPlayIsSuppressedOnlyWhileTheUpdateRuns) {
  std::uint32_t during = 99;
  std::size_t registeredDuring = 0;
  world.transcript().setListener([&](const sim::Event& e) {
    if (e.kind == EventKind::Sleep && during == 99) {
      world.registry().dword(platform::RegistryRoot::CurrentUser, sim::reg_path::kAutoplayHandlers,
                             "DisableAutoplay", during);
      registeredDuring = world.runningCookies().size();
    }
  });
  ASSERT_EQ(Update(), 0);
  EXPECT_EQ(during, 1u);
  EXPECT_EQ(registeredDuring, 1u);
  std::uint32_t after = 99;
  ASSERT_TRUE(world.registry().dword(platform::RegistryRoot::CurrentUser,
                                     sim::reg_path::kAutoplayHandlers, "DisableAutoplay", after));
  EXPECT_EQ(after, 0u);
  EXPECT_TRUE(world.runningCookies().empty());
}

}  // namespace
}  // namespace kx7::test
