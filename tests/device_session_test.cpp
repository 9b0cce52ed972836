// The device session on the simulated player: opening by drive letter and by
// physical drive, each step that can stop an open, the volume lock with its
// retries and waits, closing, and the switch into recovery.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/device_session.h"
#include "sim/world.h"
#include "support/sim_fixture.h"

namespace kx7 {
namespace {

using sim::EventKind;
using test::Cdb16;
using test::Hex;

// One line per transcript event, enough to compare sequences at a glance.
std::string Describe(const sim::Event& e) {
  char text[160];
  switch (e.kind) {
    case EventKind::Scsi:
      return "scsi " + sim::ToHex(e.bytes) + " " + e.outcome;
    case EventKind::Open:
      return std::string("open ") + e.target + (e.ok ? "" : " failed");
    case EventKind::Close:
      return "close " + e.target;
    case EventKind::Lock:
      return e.ok ? "lock" : "lock refused";
    case EventKind::Unlock:
      return e.ok ? "unlock" : "unlock refused";
    case EventKind::Notify:
      std::snprintf(text, sizeof text, "notify %llx %llx ",
                    static_cast<unsigned long long>(e.value),
                    static_cast<unsigned long long>(e.length));
      return text + e.target;
    case EventKind::Sleep:
      return "sleep " + std::to_string(e.value);
    case EventKind::Player:
      return "player " + e.name;
    default:
      return sim::ToString(e.kind);
  }
}

std::vector<std::string> Describe(const std::vector<sim::Event>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(Describe(e));
  return out;
}

std::vector<std::string> Repeat(std::vector<std::string> lines, int times) {
  std::vector<std::string> out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), lines.begin(), lines.end());
  return out;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string ScsiLine(const std::string& cdbHex, const char* outcome = "good") {
  return "scsi " + sim::ToHex(Hex(cdbHex)) + " " + outcome;
}

void ExpectClosed(const DeviceSession& s) {
  EXPECT_TRUE(s.VolumeHandle.isNull());
  EXPECT_FALSE(s.VolumeLocked);
  EXPECT_EQ(s.Kind, 0);
  EXPECT_EQ(static_cast<int>(s.ProtocolVersion), 0);
  EXPECT_EQ(s.DriveLetter, 0);
  EXPECT_EQ(s.SectorCount, 0u);
  EXPECT_EQ(s.SectorSize, 0);
  EXPECT_EQ(s.FileSystemName, (std::array<char, 16>{}));
  EXPECT_EQ(s.ChipMajorRevId, 0);
  EXPECT_EQ(s.RomRevId, 0);
  EXPECT_EQ(s.MediaType, -1);
}

// Every drive with a version of its own, so that a version that was not read
// shows.
std::vector<sim::SimDrive> Drives() {
  std::vector<sim::SimDrive> drives =
      sim::FactoryDrives(std::vector<std::uint8_t>(2048, 0x5A), {2, 3, 14}, {2, 3, 7});
  std::uint16_t n = 1;
  for (sim::SimDrive& d : drives) {
    if (d.productVersion == sim::Triple{0, 0, 0}) d.productVersion = {n, 0, n};
    ++n;
  }
  return drives;
}

class DeviceSessionTest : public test::SimFixture {
 protected:
  sim::Player& AddPlayer(sim::PlayerConfig config = {}) {
    sim::Player& p = world.addPlayer(std::move(config));
    p.drives = Drives();
    world.transcript().clear();  // the player's arrival
    return p;
  }
  std::vector<std::string> Transcript() { return Describe(world.transcript().events()); }

  DeviceSession session{world.services()};
};

// --- Opening by drive letter ----------------------------------------------------------

TEST_F(DeviceSessionTest, OpenAsksInOrderAndFillsTheSession) {
  sim::PlayerConfig config;
  config.protocolVersion = 3;
  config.chipMajorRevId = 0x1234;
  config.romRevId = 0xA1B2;
  config.mediaType = 7;
  config.fileSystem = "FAT";
  AddPlayer(config);

  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  EXPECT_TRUE(session.VolumeHandle.isOpen());
  EXPECT_FALSE(session.VolumeLocked);
  EXPECT_EQ(session.Kind, DeviceKindPlayer);
  EXPECT_EQ(static_cast<int>(session.ProtocolVersion), 3);
  EXPECT_EQ(session.DriveLetter, 'E');
  EXPECT_EQ(session.ChipMajorRevId, 0x1234);
  EXPECT_EQ(session.RomRevId, 0xA1B2);
  EXPECT_EQ(session.MediaType, 7);
  // The data drive: 64 MiB of 512-byte sectors.
  EXPECT_EQ(session.SectorCount, 131072u);
  EXPECT_EQ(session.SectorSize, 512);
  EXPECT_STREQ(session.FileSystemName.data(), "FAT");

  // Drives in tag order, with the numbers the commands need.
  const std::vector<std::pair<std::uint8_t, std::uint8_t>> tagToNumber = {
      {0x0A, 0}, {0x0B, 1}, {0x0C, 8}, {0x50, 2}, {0x60, 3}, {0x70, 4}, {0xA0, 5}, {0xFF, 6}};
  ASSERT_EQ(session.Drives.size(), tagToNumber.size());
  auto it = session.Drives.begin();
  for (const auto& [tag, number] : tagToNumber) {
    EXPECT_EQ(it->first, tag);
    EXPECT_EQ(it->second.DriveNumber, number);
    ++it;
  }
  EXPECT_EQ(session.Drives.FindByTag(0x50)->Version, (VersionTriple{2, 3, 14}));
  EXPECT_EQ(session.Drives.FindByTag(0x0B)->Version, (VersionTriple{2, 0, 2}));
  EXPECT_EQ(session.Drives.FindByTag(0x50)->SectorSize, 2048u);
  EXPECT_EQ(session.Drives.FindByTag(0x0C)->SectorSize, 512u);

  std::vector<std::string> expected = {
      "open \\\\.\\E:",
      ScsiLine("c0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
      ScsiLine("12 00 00 00 60 00"),
      ScsiLine("c0 02 09 00 00 00 00 00 00 00 00 00 00 00 00 00"),
      ScsiLine("c0 30 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
      ScsiLine("c0 37 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
      ScsiLine("c0 02 06 00 00 00 00 00 00 00 00 00 00 00 00 00"),
      ScsiLine("25 00 00 00 00 00 00 00 00 00"),
      ScsiLine("c0 05 14 00 00 00 00 00 00 00 00 00 00 00 00 00"),
  };
  for (std::uint8_t infoType : {8, 0}) {
    for (const auto& [tag, number] : tagToNumber) {
      std::vector<std::uint8_t> cdb = Cdb16({0xC0, 0x12, number, infoType});
      expected.push_back("scsi " + sim::ToHex(cdb) + " good");
    }
  }
  EXPECT_EQ(Transcript(), expected);

  // Lengths as the commands ask for them.
  const std::vector<std::uint32_t> lengths = {2, 96, 1, 2, 2, 4, 8, 222};
  const auto scsi = Scsi();
  ASSERT_EQ(scsi.size(), 8u + 16u);
  for (std::size_t i = 0; i < lengths.size(); ++i) EXPECT_EQ(scsi[i].length, lengths[i]) << i;
  for (std::size_t i = 8; i < 16; ++i) EXPECT_EQ(scsi[i].length, 6u) << i;
  for (std::size_t i = 16; i < 24; ++i) EXPECT_EQ(scsi[i].length, 4u) << i;
  for (const auto& e : scsi) {
    EXPECT_EQ(e.name, "in");
    EXPECT_EQ(e.timeout, 120u);
  }
}

TEST_F(DeviceSessionTest, SectorSizeIsTheLow16BitsOfTheBlockLength) {
  sim::Player& p = AddPlayer();
  p.dataDrive()->sectorSize = 0x10200;
  p.dataDrive()->sizeBytes = 0x10200ull * 100;
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  EXPECT_EQ(session.SectorCount, 100u);
  EXPECT_EQ(session.SectorSize, 0x0200);
}

TEST_F(DeviceSessionTest, LongFileSystemNameIsCutToFit) {
  sim::PlayerConfig config;
  config.fileSystem = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  AddPlayer(config);
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  EXPECT_EQ(session.FileSystemName.back(), '\0');
  EXPECT_EQ(std::string(session.FileSystemName.data()).substr(0, 4), "ABCD");
}

struct ProtocolCase {
  int protocol;
  std::int32_t kind;
};

class SessionProtocol : public DeviceSessionTest,
                        public ::testing::WithParamInterface<ProtocolCase> {};

TEST_P(SessionProtocol, DecidesTheKind) {
  sim::PlayerConfig config;
  config.protocolVersion = GetParam().protocol;
  AddPlayer(config);
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  EXPECT_EQ(static_cast<int>(session.ProtocolVersion), GetParam().protocol);
  EXPECT_EQ(session.Kind, GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, SessionProtocol,
    ::testing::Values(ProtocolCase{2, DeviceKindPlayerProtocol2}, ProtocolCase{3, DeviceKindPlayer},
                      ProtocolCase{4, DeviceKindPlayer}, ProtocolCase{1, DeviceKindPlayer}),
    [](const auto& info) { return "Protocol" + std::to_string(info.param.protocol); });

TEST_F(DeviceSessionTest, UpdaterAtADriveLetterOpensAsKind5) {
  sim::PlayerConfig config;
  config.initialMode = sim::PlayerMode::Updater;
  config.protocolVersion = 2;
  AddPlayer(config);
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  EXPECT_EQ(session.Kind, DeviceKindUpdater);
}

// Each step of an open that can stop it.
struct OpenFailure {
  const char* name;
  std::function<void(sim::PlayerConfig&)> configure;
  std::function<void(sim::World&, sim::Player&)> arrange;
  const char* lastCdb;  // the last command sent
  const char* lastOutcome;
};

std::ostream& operator<<(std::ostream& os, const OpenFailure& f) {
  return os << f.name;
}

void Fail(sim::World& w, std::uint8_t opcode, std::optional<std::uint8_t> operation,
          std::uint32_t nth) {
  w.faults().failScsi(opcode, operation, nth);
}

const OpenFailure kOpenFailures[] = {
    {"ProtocolVersion", nullptr, [](sim::World& w, sim::Player&) { Fail(w, 0xC0, 0x00, 1); },
     "c0 00", "not-delivered"},
    {"Inquiry", nullptr, [](sim::World& w, sim::Player&) { Fail(w, 0x12, std::nullopt, 1); },
     "12 00 00 00 60 00", "not-delivered"},
    {"MediaFlagNotDelivered", nullptr, [](sim::World& w, sim::Player&) { Fail(w, 0xC0, 0x02, 1); },
     "c0 02 09", "not-delivered"},
    {"MediaFlagZero", [](sim::PlayerConfig& c) { c.mediaPresentFlag = 0; }, nullptr, "c0 02 09",
     "good"},
    {"ChipRevision", nullptr, [](sim::World& w, sim::Player&) { Fail(w, 0xC0, 0x30, 1); }, "c0 30",
     "not-delivered"},
    {"RomRevision", nullptr, [](sim::World& w, sim::Player&) { Fail(w, 0xC0, 0x37, 1); }, "c0 37",
     "not-delivered"},
    {"MediaType", nullptr, [](sim::World& w, sim::Player&) { Fail(w, 0xC0, 0x02, 2); }, "c0 02 06",
     "not-delivered"},
    {"ReadCapacity", nullptr, [](sim::World& w, sim::Player&) { Fail(w, 0x25, std::nullopt, 1); },
     "25 00 00 00 00 00 00 00 00 00", "not-delivered"},
    {"LogicalTable", nullptr, [](sim::World& w, sim::Player&) { Fail(w, 0xC0, 0x05, 1); },
     "c0 05 14", "not-delivered"},
    {"LogicalTableDuplicateTag", nullptr,
     [](sim::World&, sim::Player& p) {
       p.logicalTableOverride =
           std::make_pair(std::uint16_t{2},
                          Hex("00 00 0a 00 00 00 00 04 00 00 00 02 01 0a 00 00 00 00 00 20 00 00"));
     },
     "c0 05 14", "good"},
    // Eight version queries, then the sector sizes: the third (tag 0x0C,
    // drive 8) is not delivered.
    {"SectorSize", nullptr, [](sim::World& w, sim::Player&) { Fail(w, 0xC0, 0x12, 8 + 3); },
     "c0 12 08 00", "not-delivered"},
};

class SessionOpenFailure : public DeviceSessionTest,
                           public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(SessionOpenFailure, EndsClosed) {
  const OpenFailure& f = GetParam();
  sim::PlayerConfig config;
  if (f.configure) f.configure(config);
  sim::Player& player = AddPlayer(config);
  if (f.arrange) f.arrange(world, player);

  EXPECT_FALSE(session.OpenByDriveLetter('E'));
  ExpectClosed(session);

  const std::vector<std::string> lines = Transcript();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines.front(), "open \\\\.\\E:");
  // The failing command is the last one sent; then the handle is closed and
  // the shell told.
  const std::vector<std::uint8_t> last = Hex(f.lastCdb);
  const auto scsi = Scsi();
  ASSERT_FALSE(scsi.empty());
  EXPECT_EQ(std::vector<std::uint8_t>(
                scsi.back().bytes.begin(),
                scsi.back().bytes.begin() +
                    static_cast<std::ptrdiff_t>(std::min(last.size(), scsi.back().bytes.size()))),
            last);
  EXPECT_EQ(scsi.back().outcome, f.lastOutcome);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"scsi " + sim::ToHex(scsi.back().bytes) + " " + f.lastOutcome,
                                      "close \\\\.\\E:", "notify 41020 1001 E:\\"}));
  EXPECT_TRUE(Events(EventKind::Lock).empty());
  EXPECT_TRUE(Events(EventKind::Unlock).empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, SessionOpenFailure, ::testing::ValuesIn(kOpenFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceSessionTest, DuplicateTagLeavesTheTableEmpty) {
  sim::Player& p = AddPlayer();
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  ASSERT_EQ(session.Drives.size(), 8u);
  p.logicalTableOverride = std::make_pair(
      std::uint16_t{2}, Hex("00 00 0a 00 00 00 00 04 00 00 00 02 01 0a 00 00 00 00 00 20 00 00"));
  EXPECT_FALSE(session.OpenByDriveLetter('E'));
  EXPECT_TRUE(session.Drives.empty());
}

TEST_F(DeviceSessionTest, FailedVersionQueryDoesNotStopTheOpen) {
  AddPlayer();
  world.faults().failScsi(0xC0, 0x12, 4);  // fourth in tag order: 0x50
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  EXPECT_EQ(session.Drives.FindByTag(0x50)->Version, (VersionTriple{0, 0, 0}));
  EXPECT_EQ(session.Drives.FindByTag(0x60)->Version, (VersionTriple{2, 3, 14}));
  EXPECT_EQ(session.Drives.FindByTag(0x50)->SectorSize, 2048u);
}

class SessionNonRemovable : public DeviceSessionTest,
                            public ::testing::WithParamInterface<platform::DriveType> {};

TEST_P(SessionNonRemovable, IsRefusedBeforeAnythingIsOpened) {
  AddPlayer();
  world.addHostDrive('F', GetParam());
  EXPECT_FALSE(session.OpenByDriveLetter('F'));
  EXPECT_EQ(session.DriveLetter, 'F');
  EXPECT_TRUE(session.VolumeHandle.isNull());
  EXPECT_EQ(session.Kind, 0);
  EXPECT_TRUE(world.transcript().events().empty()) << ::testing::PrintToString(Transcript());
}

INSTANTIATE_TEST_SUITE_P(Types, SessionNonRemovable,
                         ::testing::Values(platform::DriveType::Fixed, platform::DriveType::CdRom,
                                           platform::DriveType::Remote,
                                           platform::DriveType::RamDisk,
                                           platform::DriveType::Unknown));

TEST_F(DeviceSessionTest, LetterWithNothingIsRefused) {
  AddPlayer();
  EXPECT_FALSE(session.OpenByDriveLetter('G'));
  EXPECT_EQ(session.DriveLetter, 'G');
  EXPECT_TRUE(session.VolumeHandle.isNull());
  EXPECT_TRUE(world.transcript().events().empty());
}

TEST_F(DeviceSessionTest, ForeignRemovableDriveIsOpenedAskedAndClosed) {
  AddPlayer();
  world.addHostDrive('H', platform::DriveType::Removable, "FAT");
  EXPECT_FALSE(session.OpenByDriveLetter('H'));
  ExpectClosed(session);
  EXPECT_EQ(Transcript(),
            (std::vector<std::string>{
                "open \\\\.\\H:",
                ScsiLine("c0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", "check-condition"),
                ScsiLine("12 00 00 00 60 00"), "close \\\\.\\H:", "notify 41020 1001 H:\\"}));
}

TEST_F(DeviceSessionTest, OpeningAgainClosesTheLockedVolumeFirst) {
  AddPlayer();
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  ASSERT_TRUE(session.LockVolume());
  world.transcript().clear();
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  const std::vector<std::string> lines = Transcript();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
            (std::vector<std::string>{
                "unlock", "close \\\\.\\E:", "notify 41020 1001 E:\\",
                "open \\\\.\\E:", ScsiLine("c0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")}));
  EXPECT_FALSE(session.VolumeLocked);
}

// --- Opening the updater by physical drive ---------------------------------------------

TEST_F(DeviceSessionTest, PhysicalDriveScanStopsAtTheUpdaterAndKeepsTheTable) {
  AddPlayer();  // PhysicalDrive1, normal mode at E:
  sim::PlayerConfig updater;
  updater.serial = "0000KX7T4A2C19F1";
  updater.letter = 'G';
  updater.initialMode = sim::PlayerMode::Updater;
  AddPlayer(updater);  // PhysicalDrive2

  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  ASSERT_EQ(session.Drives.size(), 8u);
  world.transcript().clear();

  ASSERT_TRUE(session.OpenUpdaterByPhysicalDrive());
  EXPECT_EQ(session.Kind, DeviceKindUpdater);
  EXPECT_TRUE(session.VolumeHandle.isOpen());
  EXPECT_EQ(static_cast<int>(session.ProtocolVersion), 0);
  // The table of the drive opened before is still there.
  ASSERT_EQ(session.Drives.size(), 8u);
  EXPECT_EQ(session.Drives.FindByTag(0x50)->Version, (VersionTriple{2, 3, 14}));
  EXPECT_EQ(session.Drives.FindByTag(0x50)->SectorSize, 2048u);

  // Physical drives (the system disk among them) have no root to name to
  // the shell: closing them sends no notification.
  const std::string inquiry = ScsiLine("12 00 00 00 60 00");
  EXPECT_EQ(Transcript(),
            (std::vector<std::string>{
                "close \\\\.\\E:", "notify 41020 1001 E:\\", "open \\\\.\\PhysicalDrive0", inquiry,
                "close \\\\.\\PhysicalDrive0", "open \\\\.\\PhysicalDrive1", inquiry,
                "close \\\\.\\PhysicalDrive1", "open \\\\.\\PhysicalDrive2", inquiry}));
}

TEST_F(DeviceSessionTest, PhysicalDriveScanWithoutUpdaterTriesAHundredDrives) {
  AddPlayer();
  EXPECT_FALSE(session.OpenUpdaterByPhysicalDrive());
  ExpectClosed(session);
  const auto opens = Events(EventKind::Open);
  ASSERT_EQ(opens.size(), 100u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(opens[static_cast<std::size_t>(i)].target,
              "\\\\.\\PhysicalDrive" + std::to_string(i));
  // Drives 0 and 1 exist (the host's disk, the player) and are asked.
  EXPECT_EQ(Scsi().size(), 2u);
  EXPECT_EQ(Events(EventKind::Close).size(), 2u);
}

// --- Lock, unlock, close -----------------------------------------------------------------

class SessionLock : public DeviceSessionTest {
 protected:
  void SetUp() override {
    AddPlayer();
    ASSERT_TRUE(session.OpenByDriveLetter('E'));
    world.transcript().clear();
    start = Now();
  }
  std::uint64_t start = 0;
};

TEST_F(SessionLock, NotifiesLocksAndWaits) {
  EXPECT_TRUE(session.LockVolume());
  EXPECT_TRUE(session.VolumeLocked);
  EXPECT_EQ(Transcript(), (std::vector<std::string>{"notify 40 1001 E:\\", "lock", "sleep 5000"}));
  EXPECT_EQ(Now() - start, 5000u);
}

TEST_F(SessionLock, RetriesEvery100MsUntilTheLockIsGranted) {
  world.faults().refuseLocks(3);
  EXPECT_TRUE(session.LockVolume());
  EXPECT_TRUE(session.VolumeLocked);
  EXPECT_EQ(Transcript(), Join({{"notify 40 1001 E:\\"},
                                Repeat({"lock refused", "sleep 100"}, 3),
                                {"lock", "sleep 5000"}}));
  std::vector<std::uint64_t> times;
  for (const auto& e : Events(EventKind::Sleep)) times.push_back(e.time - start);
  EXPECT_EQ(times, (std::vector<std::uint64_t>{100, 200, 300, 5300}));
  EXPECT_EQ(Now() - start, 5300u);
}

TEST_F(SessionLock, TenthTryStillCounts) {
  world.faults().refuseLocks(9);
  EXPECT_TRUE(session.LockVolume());
  EXPECT_EQ(Transcript(), Join({{"notify 40 1001 E:\\"},
                                Repeat({"lock refused", "sleep 100"}, 9),
                                {"lock", "sleep 5000"}}));
  EXPECT_EQ(Now() - start, 5900u);
}

TEST_F(SessionLock, GivesUpAfterTenRefusalsWithoutTheLongWait) {
  world.faults().refuseLocks(10);
  EXPECT_FALSE(session.LockVolume());
  EXPECT_FALSE(session.VolumeLocked);
  EXPECT_EQ(Transcript(),
            Join({{"notify 40 1001 E:\\"}, Repeat({"lock refused", "sleep 100"}, 10)}));
  EXPECT_EQ(Now() - start, 1000u);
  // The session is still open and a later lock may work.
  EXPECT_TRUE(session.VolumeHandle.isOpen());
  EXPECT_TRUE(session.LockVolume());
}

TEST_F(SessionLock, LockingALockedVolumeDoesNothing) {
  ASSERT_TRUE(session.LockVolume());
  world.transcript().clear();
  const std::uint64_t before = Now();
  EXPECT_TRUE(session.LockVolume());
  EXPECT_TRUE(world.transcript().events().empty());
  EXPECT_EQ(Now(), before);
}

TEST_F(SessionLock, UnlockingAnUnlockedVolumeIsRefusedWithoutADeviceCall) {
  EXPECT_FALSE(session.UnlockVolume());
  EXPECT_TRUE(world.transcript().events().empty());
  EXPECT_EQ(Now(), start);
}

TEST_F(SessionLock, UnlockReleasesAndALaterLockNotifiesAgain) {
  ASSERT_TRUE(session.LockVolume());
  world.transcript().clear();
  EXPECT_TRUE(session.UnlockVolume());
  EXPECT_FALSE(session.VolumeLocked);
  EXPECT_EQ(Transcript(), (std::vector<std::string>{"unlock"}));
  EXPECT_TRUE(session.LockVolume());
  EXPECT_EQ(Transcript(),
            (std::vector<std::string>{"unlock", "notify 40 1001 E:\\", "lock", "sleep 5000"}));
}

TEST_F(SessionLock, UnlockRefusedTenTimesKeepsTheLock) {
  ASSERT_TRUE(session.LockVolume());
  world.transcript().clear();
  world.faults().refuseUnlocks(10);
  EXPECT_FALSE(session.UnlockVolume());
  EXPECT_TRUE(session.VolumeLocked);
  EXPECT_EQ(Transcript(), Repeat({"unlock refused", "sleep 100"}, 10));
  world.faults().refuseUnlocks(2);
  EXPECT_TRUE(session.UnlockVolume());
  EXPECT_FALSE(session.VolumeLocked);
}

TEST_F(SessionLock, CloseUnlocksClosesAndNotifies) {
  ASSERT_TRUE(session.LockVolume());
  world.transcript().clear();
  session.Close();
  ExpectClosed(session);
  EXPECT_EQ(Transcript(),
            (std::vector<std::string>{"unlock", "close \\\\.\\E:", "notify 41020 1001 E:\\"}));
  // Drives are kept until the next load.
  EXPECT_EQ(session.Drives.size(), 8u);
}

TEST_F(SessionLock, CloseIgnoresAFailedUnlock) {
  ASSERT_TRUE(session.LockVolume());
  world.transcript().clear();
  world.faults().refuseUnlocks(10);
  session.Close();
  ExpectClosed(session);
  EXPECT_EQ(Transcript(), Join({Repeat({"unlock refused", "sleep 100"}, 10),
                                {"close \\\\.\\E:", "notify 41020 1001 E:\\"}}));
}

TEST_F(SessionLock, CloseOfAnUnlockedSessionDoesNotUnlock) {
  session.Close();
  EXPECT_EQ(Transcript(), (std::vector<std::string>{"close \\\\.\\E:", "notify 41020 1001 E:\\"}));
  world.transcript().clear();
  session.Close();
  EXPECT_TRUE(world.transcript().events().empty());
}

TEST_F(DeviceSessionTest, ClosedSessionHasNothingToClose) {
  AddPlayer();
  session.Close();
  ExpectClosed(session);
  EXPECT_TRUE(world.transcript().events().empty());
}

TEST_F(DeviceSessionTest, DestructionCloses) {
  AddPlayer();
  {
    DeviceSession local(world.services());
    ASSERT_TRUE(local.OpenByDriveLetter('E'));
    ASSERT_TRUE(local.LockVolume());
    world.transcript().clear();
  }
  EXPECT_EQ(Transcript(),
            (std::vector<std::string>{"unlock", "close \\\\.\\E:", "notify 41020 1001 E:\\"}));
}

// --- Reset to recovery ---------------------------------------------------------------------

TEST_F(DeviceSessionTest, ResetWithProtocol3SendsNothingAndCloses) {
  sim::PlayerConfig config;
  config.protocolVersion = 3;
  sim::Player& player = AddPlayer(config);
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  world.transcript().clear();
  EXPECT_TRUE(session.ResetToRecovery());
  ExpectClosed(session);
  EXPECT_EQ(Transcript(), (std::vector<std::string>{"close \\\\.\\E:", "notify 41020 1001 E:\\"}));
  EXPECT_EQ(player.mode, sim::PlayerMode::Normal);
  EXPECT_EQ(player.resetToRecoveryCount, 0u);
}

TEST_F(DeviceSessionTest, ResetWithProtocol4SendsTheCommandAndDropsTheHandle) {
  sim::PlayerConfig config;
  config.protocolVersion = 4;
  config.recoveryEntryDelayMs = 2500;
  sim::Player& player = AddPlayer(config);
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  ASSERT_TRUE(session.LockVolume());
  world.transcript().clear();

  EXPECT_TRUE(session.ResetToRecovery());
  EXPECT_TRUE(session.VolumeHandle.isNull());
  // Nothing else was reset: the device went away under the handle.
  EXPECT_EQ(session.Kind, DeviceKindPlayer);
  EXPECT_EQ(session.DriveLetter, 'E');
  EXPECT_EQ(static_cast<int>(session.ProtocolVersion), 4);
  EXPECT_EQ(Transcript(),
            (std::vector<std::string>{ScsiLine("c1 42 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
                                      "player restarting"}));
  const auto reset = Scsi();
  ASSERT_EQ(reset.size(), 1u);
  EXPECT_EQ(reset[0].name, "none");
  EXPECT_EQ(reset[0].length, 0u);
  EXPECT_EQ(reset[0].timeout, 120u);
  EXPECT_EQ(player.resetToRecoveryCount, 1u);

  // The player comes back as the ROM's recovery device after its delay.
  EXPECT_EQ(player.mode, sim::PlayerMode::Restarting);
  world.sleep(2499);
  EXPECT_EQ(player.mode, sim::PlayerMode::Restarting);
  world.sleep(1);
  EXPECT_EQ(player.mode, sim::PlayerMode::RomRecovery);

  // Closing later finds nothing to do.
  world.transcript().clear();
  session.Close();
  EXPECT_TRUE(world.transcript().events().empty());
}

TEST_F(DeviceSessionTest, ResetNotDeliveredClosesNormally) {
  sim::PlayerConfig config;
  config.protocolVersion = 5;
  sim::Player& player = AddPlayer(config);
  ASSERT_TRUE(session.OpenByDriveLetter('E'));
  world.transcript().clear();
  world.faults().failScsi(0xC1, 0x42, 1);
  EXPECT_TRUE(session.ResetToRecovery());
  ExpectClosed(session);
  EXPECT_EQ(Transcript(),
            (std::vector<std::string>{
                ScsiLine("c1 42 00 00 00 00 00 00 00 00 00 00 00 00 00 00", "not-delivered"),
                "close \\\\.\\E:", "notify 41020 1001 E:\\"}));
  EXPECT_EQ(player.mode, sim::PlayerMode::Normal);
}

}  // namespace
}  // namespace kx7
