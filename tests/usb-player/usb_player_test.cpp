// kx7fw-usb-player's device side without a kernel: the bulk-only transport
// and the SCSI answers a host's disk driver relies on, byte for byte, and
// the factory volume judged by dosfstools and mtools.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "sim/player/player.h"
#include "sim/scenario/default_scenario.h"
#include "tools/usb-player/bulk_only.h"
#include "tools/usb-player/factory_volume.h"
#include "tools/usb-player/scsi_target.h"

namespace kx7::usbplayer {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Exchange {
  Bytes data;
  Bytes csw;
  bool stalled = false;  // bulk-in stalled before the status
};

class UsbPlayerTest : public ::testing::Test {
 protected:
  UsbPlayerTest() : player(sim::PlayerConfig{}), scsi(player), bot(scsi) {
    player.drives = sim::FactoryDrives(sim::DefaultFirmwareFile(), {1, 1, 0}, {1, 1, 0});
    scsi.powerOn();
  }

  // One command through the transport as a host sends it: the wrapper, the
  // data phase, the status (clearing a halted bulk-in first, as the host
  // does).
  Exchange Send(Bytes cdb, bool dataIn, std::uint32_t length, const Bytes& payload = {}) {
    Bytes cbw(31, 0);
    const std::uint32_t fields[] = {0x43425355, ++tag, length};
    for (int i = 0; i < 3; ++i)
      for (int b = 0; b < 4; ++b) cbw[i * 4 + b] = static_cast<std::uint8_t>(fields[i] >> (8 * b));
    cbw[12] = dataIn ? 0x80 : 0x00;
    cbw[14] = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), cbw.begin() + 15);
    Exchange e;
    EXPECT_TRUE(bot.out(cbw));
    if (!dataIn && length) {
      EXPECT_TRUE(bot.out(payload));
    }
    if (dataIn && length) {
      BulkOnly::InAnswer a = bot.in(length);
      e.stalled = a.kind == BulkOnly::InKind::Stall;
      if (e.stalled)
        bot.clearHalt(0x81);
      else
        e.data = a.bytes;
    }
    e.csw = bot.in(13).bytes;
    return e;
  }
  // The sense REQUEST SENSE returns now: key, code, qualifier.
  std::array<std::uint8_t, 3> SenseNow() {
    const Exchange e = Send({0x03, 0, 0, 0, 18, 0}, true, 18);
    return {e.data.at(2), e.data.at(12), e.data.at(13)};
  }
  static std::uint32_t Residue(const Exchange& e) {
    return e.csw.at(8) | e.csw.at(9) << 8 | e.csw.at(10) << 16 | std::uint32_t(e.csw.at(11)) << 24;
  }

  sim::Player player;
  ScsiTarget scsi;
  BulkOnly bot;
  std::uint32_t tag = 0x1000;
};

TEST_F(UsbPlayerTest, StatusWrapperAndPowerOnAttention) {
  // A fresh device: INQUIRY passes the attention, TEST UNIT READY takes it.
  const Exchange inquiry = Send({0x12, 0, 0, 0, 36, 0}, true, 36);
  ASSERT_EQ(inquiry.data.size(), 36u);
  EXPECT_EQ(std::string(inquiry.data.begin() + 8, inquiry.data.begin() + 27),
            "Korvane Tessio Mirl");
  EXPECT_EQ(inquiry.csw, (Bytes{0x55, 0x53, 0x42, 0x53, 0x01, 0x10, 0, 0, 0, 0, 0, 0, 0x00}));
  EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}, false, 0).csw.at(12), 1);
  EXPECT_EQ(SenseNow(), (std::array<std::uint8_t, 3>{0x06, 0x29, 0x00}));
  EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}, false, 0).csw.at(12), 0);
}

TEST_F(UsbPlayerTest, KernelCommandsAnswerWithSenseAndResidue) {
  Send({0x00, 0, 0, 0, 0, 0}, false, 0);  // the power-on attention
  struct Row {
    const char* what;
    Bytes cdb;
    std::uint32_t length;
    std::uint8_t status;
    std::uint32_t residue;
    std::array<std::uint8_t, 3> sense;
  };
  const Row rows[] = {
      {"READ CAPACITY(10)", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, 0, 0, {0, 0, 0}},
      {"READ CAPACITY(16)",
       {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0},
       32,
       0,
       0,
       {0, 0, 0}},
      {"MODE SENSE(6), all pages", {0x1A, 0, 0x3F, 0, 192, 0}, 192, 0, 192 - 24, {0, 0, 0}},
      {"MODE SENSE(6), a page it has not", {0x1A, 0, 0x1C, 0, 192, 0}, 192, 1, 192, {5, 0x24, 0}},
      {"INQUIRY, serial number page", {0x12, 1, 0x80, 0, 255, 0}, 255, 1, 255, {5, 0x24, 0}},
      {"REPORT LUNS", {0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 16, 0, 0, {0, 0, 0}},
      {"READ(10) past the end", {0x28, 0, 0, 2, 0, 0, 0, 0, 1, 0}, 512, 1, 512, {5, 0x21, 0}},
      {"ATA PASS-THROUGH(12)", {0xA1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 512, 1, 512, {5, 0x20, 0}},
      {"protocol version", {0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 2, 0, 0, {0, 0, 0}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const Exchange e = Send(r.cdb, true, r.length);
    EXPECT_EQ(e.csw.at(12), r.status);
    EXPECT_EQ(Residue(e), r.residue);
    EXPECT_EQ(e.stalled, r.status != 0) << "a failed data-in command stalls bulk-in";
    EXPECT_EQ(SenseNow(), r.sense);
  }
  const Exchange capacity = Send({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8);
  EXPECT_EQ(capacity.data, (Bytes{0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}));  // 64 MiB
}

TEST_F(UsbPlayerTest, ReallocationIsAUnitAttentionOnlyStandardCommandsTake) {
  player.mode = sim::PlayerMode::Updater;
  Send({0x00, 0, 0, 0, 0, 0}, false, 0);
  const Bytes eraseMedia = {0xC1, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Send(eraseMedia, false, 0).csw.at(12), 0);
  EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}, false, 0).csw.at(12), 1);
  EXPECT_EQ(SenseNow(), (std::array<std::uint8_t, 3>{0x02, 0x3A, 0x00}));  // no medium
  // A data drive of the rest and a 1 MiB system drive.
  Bytes table(22, 0);
  table[0] = 0, table[1] = 0x0A;
  table[10] = 1, table[11] = 0x50, table[17] = 0x10;
  EXPECT_EQ(
      Send({0xC1, 0x06, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 22, table).csw.at(12), 0);
  // The firmware's own commands do not see the attention.
  EXPECT_EQ(Send({0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 2).csw.at(12), 0);
  EXPECT_EQ(Send({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8).csw.at(12), 1);
  EXPECT_EQ(SenseNow(), (std::array<std::uint8_t, 3>{0x06, 0x28, 0x00}));
  const Exchange capacity = Send({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8);
  EXPECT_EQ(capacity.data, (Bytes{0x00, 0x03, 0xF7, 0xFF, 0x00, 0x00, 0x02, 0x00}));  // 127 MiB
}

TEST_F(UsbPlayerTest, WriteFaultsAndPhaseErrors) {
  Send({0x00, 0, 0, 0, 0, 0}, false, 0);
  scsi.faults.writeErrorFirst = 100;
  scsi.faults.writeErrorCount = 1;
  const Bytes sector(512, 0xA5);
  EXPECT_EQ(Send({0x2A, 0, 0, 0, 0, 99, 0, 0, 1, 0}, false, 512, sector).csw.at(12), 0);
  const Exchange failed = Send({0x2A, 0, 0, 0, 0, 100, 0, 0, 1, 0}, false, 512, sector);
  EXPECT_EQ(failed.csw.at(12), 1);
  EXPECT_EQ(SenseNow(), (std::array<std::uint8_t, 3>{0x03, 0x0C, 0x00}));
  EXPECT_EQ(player.dataDrive()->media.read(99 * 512, 512), sector);
  EXPECT_NE(player.dataDrive()->media.read(100 * 512, 512), sector);

  // READ(10) of two sectors into room for one: the host cannot take it.
  EXPECT_EQ(Send({0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, true, 512).csw.at(12), 2);
  // A wrapper that is not one: both endpoints halt until the reset.
  EXPECT_FALSE(bot.out(Bytes(30, 0)));
  bot.clearHalt(0x81);
  bot.clearHalt(0x02);
  EXPECT_TRUE(bot.halted(0x81) && bot.halted(0x02));
  EXPECT_EQ(bot.in(13).kind, BulkOnly::InKind::Stall);
  bot.reset();
  EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}, false, 0).csw.at(12), 0);
}

TEST_F(UsbPlayerTest, FactoryVolumePassesFsckAndMtools) {
  player.rootFiles["PERSIST.BIN"] = {0x4B, 0x58, 0x25, 0x01};
  player.rootFiles["DEVDIVERSITY.INI"] = Bytes(5000, 'x');
  std::string error;
  ASSERT_TRUE(LayFactoryVolume(player, error)) << error;
  const std::string dir = ::testing::TempDir();
  const std::string volume = dir + "/factory-volume.img", listing = dir + "/factory-mdir.txt";
  const sim::SimDrive& data = *player.dataDrive();
  ASSERT_TRUE(data.media.exportTo(volume, std::uint64_t{kFactoryPartitionStart} * 512,
                                  data.sizeBytes - std::uint64_t{kFactoryPartitionStart} * 512));
  for (const char* fsck : {"/usr/sbin/fsck.fat", "/sbin/fsck.fat"}) {
    if (std::system((std::string("test -x ") + fsck).c_str()) != 0) continue;
    EXPECT_EQ(std::system((std::string(fsck) + " -n " + volume + " > /dev/null").c_str()), 0);
    break;
  }
  ASSERT_EQ(std::system(("MTOOLS_SKIP_CHECK=1 mdir -i " + volume + " :: > " + listing).c_str()), 0);
  std::ifstream in(listing);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_NE(text.find("DEVDIVERSITY.INI"), std::string::npos) << text;
  EXPECT_NE(text.find("5000"), std::string::npos) << text;
  EXPECT_EQ(player.fileSystemName(), "FAT");
}

}  // namespace
}  // namespace kx7::usbplayer
