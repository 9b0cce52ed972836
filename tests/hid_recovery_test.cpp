// The ROM recovery device: finding it among the HID interfaces, its report
// sizes, and the updater download as the ROM receives it.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "api/library.h"
#include "device/device_session.h"
#include "firmware/hid_recovery.h"
#include "firmware/image_table.h"
#include "sim/scenario/default_scenario.h"
#include "sim/scenario/sb_file.h"
#include "sim/world.h"
#include "support/sim_fixture.h"

namespace kx7 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::Hex;

constexpr const char* kUpdaterPath = "C:\\Updater\\Firmware\\updater.sb";
constexpr const char* kHidGuid = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A data report: id 2, the image bytes it carries, 0xFF up to `length`.
Bytes DataReport(const Bytes& image, std::size_t from, std::size_t count, std::size_t length) {
  Bytes report(length, 0xFF);
  report[0] = 0x02;
  std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from), count, report.begin() + 1);
  return report;
}

// A host with a player in ROM recovery mode and an updater file.
struct Rig {
  sim::Player& AddRomPlayer(std::uint16_t outputLength = 1025, std::uint16_t inputLength = 1025) {
    sim::PlayerConfig config;
    config.initialMode = sim::PlayerMode::RomRecovery;
    config.hidOutputReportLength = outputLength;
    config.hidInputReportLength = inputLength;
    return world.addPlayer(config);
  }

  Bytes PutUpdater(std::size_t size) {
    Bytes bytes = sim::BuildSbFile({.size = size, .seed = 5});
    world.files().addFile(kUpdaterPath, bytes);
    images[image_row::kUpdater].FilePath = kUpdaterPath;
    return bytes;
  }

  // As the update procedures use it: find, stop on null, caps, download.
  bool Recover() {
    const auto device = HidRecoveryDevice::Create(world.services());
    device->Handle = device->FindRecoveryHidDevice();
    if (device->Handle.isNull()) return false;
    return device->ReadCaps() && device->DownloadImage(images);
  }

  std::vector<Bytes> Reports() const {
    std::vector<Bytes> reports;
    for (const sim::Event& e : world.transcript().of(sim::EventKind::HidReport))
      reports.push_back(e.bytes);
    return reports;
  }

  std::size_t Count(sim::EventKind kind) const { return world.transcript().of(kind).size(); }

  mutable sim::World world;
  ImageTable images = MakeInitialImageTable();
};

class HidRecoveryTest : public ::testing::Test, protected Rig {};

// --- The download ----------------------------------------------------------

TEST_F(HidRecoveryTest, CommandReportAnnouncesTheImage) {
  sim::Player& player = AddRomPlayer();
  const Bytes image = PutUpdater(0x12345);
  ASSERT_TRUE(Recover());

  const std::vector<Bytes> reports = Reports();
  ASSERT_EQ(reports.size(), 1u + 73u);  // 72 full data reports and one of 837 bytes
  const Bytes head =
      Hex("01"           // report id
          "42 4c 54 43"  // "BLTC"
          "01 00 00 00"  // tag
          "45 23 01 00"  // transfer length, little-endian
          "00 00 00"     // flags, unit, block length
          "02"           // download
          "00 01 23 45"  // size, big-endian
          "00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(reports[0], Concat(head, Bytes(1025 - 32, 0xDB)));
  EXPECT_EQ(reports[1], DataReport(image, 0, 1024, 1025));
  EXPECT_EQ(reports[73], DataReport(image, 72 * 1024, 837, 1025));
  EXPECT_EQ(player.receivedImage(), image);
  EXPECT_FALSE(player.hidProtocolError());
}

TEST(HidRecoveryDownload, DataReportsCarryTheImageAndPadTheLastOne) {
  struct Case {
    std::uint16_t reportLength;
    std::size_t imageSize;
    std::vector<std::size_t> carried;  // image bytes per data report
  };
  const Case cases[] = {
      {1025, 2048, {1024, 1024}},     // no partial report
      {1025, 2050, {1024, 1024, 2}},  // 2 image bytes, then 1022 of 0xFF
      {1025, 100, {100}},             // smaller than one report
      {65, 200, {64, 64, 64, 8}},
      {32, 100, {31, 31, 31, 7}},  // the shortest report that holds the command
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.reportLength << " / " << c.imageSize);
    Rig rig;
    sim::Player& player = rig.AddRomPlayer(c.reportLength, 9);
    const Bytes image = rig.PutUpdater(c.imageSize);
    ASSERT_TRUE(rig.Recover());

    const std::vector<Bytes> reports = rig.Reports();
    ASSERT_EQ(reports.size(), 1 + c.carried.size());
    ASSERT_EQ(reports[0].size(), c.reportLength);
    EXPECT_EQ(reports[0][0], 0x01);
    EXPECT_EQ(Bytes(reports[0].begin() + 21, reports[0].begin() + 32), Bytes(11, 0x00));
    EXPECT_EQ(Bytes(reports[0].begin() + 32, reports[0].end()), Bytes(c.reportLength - 32, 0xDB));
    std::size_t from = 0;
    for (std::size_t i = 0; i < c.carried.size(); ++i) {
      EXPECT_EQ(reports[1 + i], DataReport(image, from, c.carried[i], c.reportLength))
          << "data report " << i;
      from += c.carried[i];
    }
    EXPECT_EQ(player.receivedImage(), image);
    EXPECT_FALSE(player.hidProtocolError());
  }
}

TEST_F(HidRecoveryTest, ReportBuffersFollowTheCaps) {
  AddRomPlayer(1025, 65);
  PutUpdater(2050);
  const auto device = HidRecoveryDevice::Create(world.services());
  device->Handle = device->FindRecoveryHidDevice();
  ASSERT_TRUE(device->Handle.isOpen());
  ASSERT_TRUE(device->ReadCaps());
  EXPECT_EQ(device->Caps.inputReportByteLength, 65);
  EXPECT_EQ(device->Caps.outputReportByteLength, 1025);
  ASSERT_TRUE(device->DownloadImage(images));
  // The input report is sized, never filled and never sent.
  EXPECT_EQ(device->InputReport, Bytes(65, 0x00));
  EXPECT_EQ(device->OutputReport.size(), 1025u);
  for (const sim::Event& e : world.transcript().of(sim::EventKind::HidReport))
    EXPECT_EQ(e.length, 1025u);
}

TEST_F(HidRecoveryTest, WriteFailureEndsTheDownloadAtOnce) {
  sim::Player& player = AddRomPlayer();
  PutUpdater(2050);
  world.faults().failHidReport(3);
  EXPECT_FALSE(Recover());
  const auto sent = world.transcript().of(sim::EventKind::HidReport);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_FALSE(sent[2].ok);
  EXPECT_EQ(player.receivedImage().size(), 1024u);
  EXPECT_EQ(player.mode, sim::PlayerMode::RomRecovery);

  Rig rig;
  rig.AddRomPlayer();
  rig.PutUpdater(2050);
  rig.world.faults().failHidReport(1);  // the command report
  EXPECT_FALSE(rig.Recover());
  EXPECT_EQ(rig.Count(sim::EventKind::HidReport), 1u);
}

TEST(HidRecoveryDownload, NothingIsSentWithoutAUsableReportOrUpdaterFile) {
  struct Case {
    const char* what;
    std::uint16_t reportLength;
    std::function<void(Rig&)> arrange;
  };
  const Case cases[] = {
      {"report of 31 bytes", 31, [](Rig&) {}},
      {"report of 1 byte", 1, [](Rig&) {}},
      {"report of 0 bytes", 0, [](Rig&) {}},
      {"no updater file", 1025, [](Rig& r) { r.world.files().removeFile(kUpdaterPath); }},
      {"not an SB file", 1025,
       [](Rig& r) {
         r.world.files().addFile(kUpdaterPath, sim::BuildSbFile({.signature = "stmp"}));
       }},
      {"updater shrinks while read", 1025,
       [](Rig& r) { r.world.faults().shrinkFile(kUpdaterPath, 1000); }},
      {"updater row still the placeholder", 1025,
       [](Rig& r) {
         r.images[image_row::kUpdater] = MakeInitialImageTable()[image_row::kUpdater];
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    sim::Player& player = rig.AddRomPlayer(c.reportLength);
    rig.PutUpdater(4096);
    c.arrange(rig);
    EXPECT_FALSE(rig.Recover());
    EXPECT_EQ(rig.Count(sim::EventKind::HidReport), 0u);
    EXPECT_EQ(player.hidReportsReceived(), 0u);
  }
}

// --- Finding and opening the device ----------------------------------------

TEST_F(HidRecoveryTest, OnlyTheTwoExactFormsOfThePathMatch) {
  // Not a player's ROM: no recovery device is present.
  world.addOtherHidInterface(std::string("\\\\?\\Hid#Vid_066F&Pid_3770#6&1&0&0000") + kHidGuid);
  world.addOtherHidInterface(std::string("\\\\?\\hid#vid_066f&pid_3771#6&2&0&0000") + kHidGuid);
  const auto device = HidRecoveryDevice::Create(world.services());
  EXPECT_TRUE(device->FindRecoveryHidDevice().isNull());
  EXPECT_EQ(Count(sim::EventKind::Open), 0u);

  const std::string upper = std::string("\\\\?\\HID#VID_066F&PID_3770#6&3&0&0000") + kHidGuid;
  world.addOtherHidInterface(upper);
  const platform::Handle handle = device->FindRecoveryHidDevice();
  EXPECT_TRUE(handle.isOpen());
  const auto opened = world.transcript().of(sim::EventKind::Open);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].target, upper);
  world.services().hid.close(handle);
}

TEST_F(HidRecoveryTest, FindsTheRomPastOtherInterfacesAndEnumerationErrors) {
  AddRomPlayer();  // index 2, after the host's two HID interfaces
  world.faults().failHidEnumerationAt(0);
  world.faults().failHidEnumerationAt(1);
  const auto device = HidRecoveryDevice::Create(world.services());
  device->Handle = device->FindRecoveryHidDevice();
  ASSERT_TRUE(device->Handle.isOpen());
  const auto opened = world.transcript().of(sim::EventKind::Open);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].target, world.recoveryHidPath(0));
}

TEST_F(HidRecoveryTest, NullMeansNoDeviceAndInvalidMeansTheOpenFailed) {
  struct Case {
    const char* what;
    bool rom;
    std::function<void(sim::World&)> arrange;
    bool invalid;
    std::size_t opens;
  };
  const Case cases[] = {
      {"no recovery device", false, [](sim::World&) {}, false, 0},
      {"the ROM's interface fails to enumerate", true,
       [](sim::World& w) { w.faults().failHidEnumerationAt(2); }, false, 0},
      {"no interface set", true, [](sim::World& w) { w.faults().failHidInterfaceSet(); }, false, 0},
      // The ROM's own interface vanished before its detail was read.
      {"the ROM's detail unreadable", true, [](sim::World& w) { w.faults().failHidDetailAt(2); },
       false, 0},
      {"open fails", true, [](sim::World& w) { w.faults().failHidOpen(); }, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    if (c.rom) rig.AddRomPlayer();
    rig.PutUpdater(4096);
    c.arrange(rig.world);
    const auto device = HidRecoveryDevice::Create(rig.world.services());
    device->Handle = device->FindRecoveryHidDevice();
    EXPECT_EQ(device->Handle.isInvalid(), c.invalid);
    EXPECT_EQ(device->Handle.isNull(), !c.invalid);
    EXPECT_EQ(rig.Count(sim::EventKind::Open), c.opens);
    // An invalid handle is caught when the caps are read.
    EXPECT_FALSE(device->ReadCaps());
    EXPECT_EQ(rig.Count(sim::EventKind::HidReport), 0u);
  }
}

// Devices re-enumerate while the player enters recovery: an interface that
// is gone by the time its detail is read does not hide the ROM behind it.
TEST_F(HidRecoveryTest, SearchPassesOverAVanishedInterface) {
  Rig rig;
  rig.AddRomPlayer();
  rig.world.faults().failHidDetailAt(0);
  rig.world.faults().failHidDetailAt(1);
  const auto device = HidRecoveryDevice::Create(rig.world.services());
  device->Handle = device->FindRecoveryHidDevice();
  ASSERT_TRUE(device->Handle.isOpen());
  const auto opened = rig.world.transcript().of(sim::EventKind::Open);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].target, rig.world.recoveryHidPath(0));
  EXPECT_TRUE(device->ReadCaps());
}

// An interface set that fails at every index, as a broken one might.
class FailingHidSet final : public platform::HidInterfaceSet {
 public:
  explicit FailingHidSet(std::uint32_t& calls) : calls_(calls) {}
  platform::EnumResult interfaceAt(std::uint32_t) override {
    // Gives up eventually so that a search that never stops fails instead
    // of hanging.
    return ++calls_ < 1000000 ? platform::EnumResult::Error : platform::EnumResult::NoMoreItems;
  }
  std::optional<std::string> devicePath(std::uint32_t) override { return std::nullopt; }

 private:
  std::uint32_t& calls_;
};

class FailingEnumeration final : public platform::DeviceEnumeration {
 public:
  std::unique_ptr<platform::PresentDeviceSet> presentDevices(std::uint32_t&) override {
    return nullptr;
  }
  std::unique_ptr<platform::HidInterfaceSet> hidInterfaces() override {
    return std::make_unique<FailingHidSet>(calls);
  }
  std::uint32_t calls = 0;
};

TEST_F(HidRecoveryTest, SearchEndsWhenTheSetKeepsFailing) {
  FailingEnumeration failing;
  const platform::Services real = world.services();
  const platform::Services services{real.volumes,  failing,     real.hid,
                                    real.registry, real.shell,  real.com,
                                    real.files,    real.system, real.clock};
  const auto device = HidRecoveryDevice::Create(services);
  EXPECT_TRUE(device->FindRecoveryHidDevice().isNull());
  EXPECT_LT(failing.calls, 1000000u);
}

TEST_F(HidRecoveryTest, CapsFailuresAreReported) {
  for (auto fail : {&sim::Faults::failHidCaps, &sim::Faults::failHidCapsStatus}) {
    Rig rig;
    rig.AddRomPlayer();
    rig.PutUpdater(4096);
    (rig.world.faults().*fail)();
    EXPECT_FALSE(rig.Recover());
    EXPECT_EQ(rig.Count(sim::EventKind::HidCaps), 1u);
    EXPECT_EQ(rig.Count(sim::EventKind::HidReport), 0u);
  }
}

// --- Life cycle --------------------------------------------------------------

TEST_F(HidRecoveryTest, CloseReleasesTheHandleOnceAndLeavesTheObjectReusable) {
  AddRomPlayer();
  auto device = HidRecoveryDevice::Create(world.services());
  EXPECT_TRUE(device->Handle.isNull());
  device->Handle = device->FindRecoveryHidDevice();
  ASSERT_TRUE(device->ReadCaps());
  device->InputReport.assign(3, 1);
  device->OutputReport.assign(3, 1);

  device->Close();
  EXPECT_TRUE(device->Handle.isNull());
  EXPECT_TRUE(device->InputReport.empty());
  EXPECT_TRUE(device->OutputReport.empty());
  EXPECT_EQ(device->Caps.outputReportByteLength, 0);
  EXPECT_EQ(device->Caps.inputReportByteLength, 0);
  EXPECT_EQ(Count(sim::EventKind::Close), 1u);

  // Used again, then destroyed: its second handle is closed too.
  device->Handle = device->FindRecoveryHidDevice();
  ASSERT_TRUE(device->Handle.isOpen());
  device.reset();
  EXPECT_EQ(Count(sim::EventKind::Close), 2u);
}

TEST_F(HidRecoveryTest, DetectHidTouchesNoDevice) {
  AddRomPlayer();
  PutUpdater(4096);
  Library library(world.services());
  world.transcript().clear();
  EXPECT_EQ(library.Detect_HID(kRecoveryHidUpper), 0);
  EXPECT_EQ(library.Detect_HID("not a device"), 0);
  EXPECT_EQ(library.Detect_HID(nullptr), 0);
  EXPECT_EQ(world.transcript().size(), 0u);
  // Whatever it was given, the search still uses its own patterns.
  EXPECT_TRUE(Recover());
}

// --- The whole road ----------------------------------------------------------

TEST_F(HidRecoveryTest, RomRunsTheDownloadedUpdater) {
  // The updater file as the host keeps it, sent to a player in ROM recovery.
  const std::string folder = sim::DefaultScenario::kFirmwareFolder;
  const Bytes file = sim::DefaultUpdaterFile();
  world.files().addFile(folder + kUpdaterFileName, file);
  images[image_row::kUpdater].FilePath = folder + kUpdaterFileName;
  sim::Player& player = AddRomPlayer();

  ASSERT_TRUE(Recover());
  EXPECT_EQ(player.receivedImage(), file);
  EXPECT_FALSE(player.hidProtocolError());
  EXPECT_EQ(player.hidReportsReceived(), 1 + (file.size() + 1023) / 1024);

  // The ROM starts the updater, which comes up as mass storage a while later.
  EXPECT_EQ(player.mode, sim::PlayerMode::Restarting);
  world.sleep(player.config.updaterStartDelayMs - 1);
  EXPECT_EQ(player.mode, sim::PlayerMode::Restarting);
  world.sleep(1);
  EXPECT_EQ(player.mode, sim::PlayerMode::Updater);
  DeviceSession session(world.services());
  ASSERT_TRUE(session.OpenUpdaterByPhysicalDrive());
  EXPECT_EQ(session.Kind, DeviceKindUpdater);
}

}  // namespace
}  // namespace kx7
