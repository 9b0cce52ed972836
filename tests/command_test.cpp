// The pass-through request and every command of the catalogue, byte for byte:
// the request block as the library builds it, the same exchange as the
// simulated player receives it, and the response decoders.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/cmd_base.h"
#include "device/commands.h"
#include "sim/world.h"
#include "support/sim_fixture.h"
#include "util/byte_order.h"

namespace kx7 {
namespace {

using test::Hex;

std::vector<std::uint8_t> Bytes(const CStDdiCmdBase& command) {
  const auto bytes = command.RequestBytes();
  return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& bytes, std::size_t offset,
                                std::size_t length) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(offset),
          bytes.begin() + static_cast<std::ptrdiff_t>(offset + length)};
}

std::uint32_t Le32At(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  return std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
         std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<std::uint8_t> Zeros(std::size_t n) {
  return std::vector<std::uint8_t>(n, 0);
}

// --- Byte order ----------------------------------------------------------------

TEST(ByteOrder, SwapBytes64ReversesTheEightBytes) {
  EXPECT_EQ(SwapBytes64(0x0807060504030201ull), 0x0102030405060708ull);
  EXPECT_EQ(SwapBytes64(0x00000000000000FFull), 0xFF00000000000000ull);
  EXPECT_EQ(SwapBytes64(0x1200000000000034ull), 0x3400000000000012ull);
  EXPECT_EQ(SwapBytes64(0), 0u);
  for (std::uint64_t v : {0x0807060504030201ull, 0x0123456789ABCDEFull, 0xFFull,
                          0x8000000000000001ull, 0xDEADBEEF00C0FFEEull}) {
    EXPECT_EQ(SwapBytes64(SwapBytes64(v)), v) << std::hex << v;
  }
}

TEST(ByteOrder, BigEndianHelpersPutTheHighByteFirst) {
  std::uint8_t b[8] = {};
  PutBe16(b, 0x1234);
  EXPECT_EQ(std::vector<std::uint8_t>(b, b + 2), Hex("12 34"));
  PutBe32(b, 0x89ABCDEF);
  EXPECT_EQ(std::vector<std::uint8_t>(b, b + 4), Hex("89 ab cd ef"));
  PutBe64(b, 0x0102030405060708ull);
  EXPECT_EQ(std::vector<std::uint8_t>(b, b + 8), Hex("01 02 03 04 05 06 07 08"));

  const std::vector<std::uint8_t> wire = Hex("fe dc ba 98 76 54 32 10");
  EXPECT_EQ(GetBe16(wire.data()), 0xFEDC);
  EXPECT_EQ(GetBe32(wire.data()), 0xFEDCBA98u);
  EXPECT_EQ(GetBe64(wire.data()), 0xFEDCBA9876543210ull);
}

TEST(ByteOrder, LittleEndianHelpersPutTheLowByteFirst) {
  std::uint8_t b[8] = {};
  PutLe16(b, 0x1234);
  EXPECT_EQ(std::vector<std::uint8_t>(b, b + 2), Hex("34 12"));
  PutLe32(b, 0x89ABCDEF);
  EXPECT_EQ(std::vector<std::uint8_t>(b, b + 4), Hex("ef cd ab 89"));
  PutLe64(b, 0x0102030405060708ull);
  EXPECT_EQ(std::vector<std::uint8_t>(b, b + 8), Hex("08 07 06 05 04 03 02 01"));

  const std::vector<std::uint8_t> wire = Hex("fe dc ba 98 76 54 32 10");
  EXPECT_EQ(GetLe16(wire.data()), 0xDCFE);
  EXPECT_EQ(GetLe32(wire.data()), 0x98BADCFEu);
  EXPECT_EQ(GetLe64(wire.data()), 0x1032547698BADCFEull);
}

// --- The request block -----------------------------------------------------------

TEST(PassThroughRequest, NoDataCommandIs71Bytes) {
  CStChipReset reset;
  EXPECT_TRUE(reset.RequestBytes().empty());
  ASSERT_TRUE(reset.BuildRequest());
  const std::vector<std::uint8_t> expected =
      Concat(Hex("2c 00"        // Length 44
                 "00 00 00 00"  // ScsiStatus, PathId, TargetId, Lun
                 "10"           // CdbLength 16
                 "12"           // SenseInfoLength 18
                 "00"           // DataIn: no data
                 "00 00 00"     // padding
                 "00 00 00 00"  // DataTransferLength
                 "78 00 00 00"  // TimeOutValue 120
                 "46 00 00 00"  // DataBufferOffset 70
                 "34 00 00 00"  // SenseInfoOffset 52
                 "c1 31 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // CDB
                 "47 00 00 00"                                      // RequestSize 71
                 "00 00 00 00"),                                    // reserved
             Zeros(18 + 1));                                        // sense, spare
  ASSERT_EQ(expected.size(), 71u);
  EXPECT_EQ(Bytes(reset), expected);
}

TEST(PassThroughRequest, InquiryIs167BytesWithDataIn) {
  CStScsiInquiry inquiry;
  ASSERT_TRUE(inquiry.BuildRequest());
  const std::vector<std::uint8_t> expected =
      Concat(Hex("2c 00 00 00 00 00"
                 "06"  // CdbLength 6
                 "12"
                 "01"  // DataIn
                 "00 00 00"
                 "60 00 00 00"  // 96 bytes
                 "78 00 00 00"
                 "46 00 00 00"
                 "34 00 00 00"
                 "12 00 00 00 60 00 00 00 00 00 00 00 00 00 00 00"
                 "a7 00 00 00"  // RequestSize 167
                 "00 00 00 00"),
             Zeros(18 + 96 + 1));
  ASSERT_EQ(expected.size(), 167u);
  EXPECT_EQ(Bytes(inquiry), expected);
  EXPECT_EQ(inquiry.ResponseData(), inquiry.RequestBytes().data() + 70);
}

TEST(PassThroughRequest, DataOutCommandCarriesItsPayloadAtOffset70) {
  const std::vector<MediaAllocationEntry> entries = {
      {.DriveNumber = 9, .DriveType = 1, .DriveTag = 0x50, .SizeInBytes = 0x200000},
      {.DriveNumber = 3, .DriveType = 0, .DriveTag = 0x0A, .SizeInBytes = 0x123456789ull},
  };
  CStAllocateLogicalMedia allocate(entries);
  ASSERT_TRUE(allocate.BuildRequest());
  const std::vector<std::uint8_t> expected =
      Concat(Concat(Hex("2c 00 00 00 00 00"
                        "10 12"
                        "00"  // DataIn 0: data out
                        "00 00 00"
                        "16 00 00 00"  // 22 bytes
                        "78 00 00 00"
                        "46 00 00 00"
                        "34 00 00 00"
                        "c1 06 02 00 00 00 00 00 00 00 00 00 00 00 00 00"
                        "5d 00 00 00"  // RequestSize 93
                        "00 00 00 00"),
                    Zeros(18)),
             Hex("01 50 00 00 00 00 00 20 00 00"  // type, tag, size: drive number not sent
                 "00 0a 00 00 00 01 23 45 67 89"
                 "00 00"  // the eleventh byte of each entry
                 "00"));  // spare
  ASSERT_EQ(expected.size(), 93u);
  EXPECT_EQ(Bytes(allocate), expected);
}

TEST(PassThroughRequest, CallerPayloadLandsInTheDataArea) {
  CStWriteLogicalDriveSector write(1, 0, 1, 16, 120);
  ASSERT_TRUE(write.BuildRequest());
  const std::vector<std::uint8_t> payload = Hex("00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff");
  std::copy(payload.begin(), payload.end(), write.ResponseData());
  const std::vector<std::uint8_t> bytes = Bytes(write);
  ASSERT_EQ(bytes.size(), 87u);
  EXPECT_EQ(Slice(bytes, 70, 16), payload);
  EXPECT_EQ(bytes[86], 0);
  EXPECT_EQ(Le32At(bytes, 44), 87u);
}

TEST(PassThroughRequest, RebuildingReplacesTheBlock) {
  CStGetLogicalDriveInfo info(1, 0, 4);
  ASSERT_TRUE(info.BuildRequest());
  info.ResponseData()[0] = 0xAB;
  info.DriveNumber = 6;
  info.TransferLength = 6;
  ASSERT_TRUE(info.BuildRequest());
  const std::vector<std::uint8_t> bytes = Bytes(info);
  ASSERT_EQ(bytes.size(), 77u);
  EXPECT_EQ(Slice(bytes, 28, 4), Hex("c0 12 06 00"));
  EXPECT_EQ(Le32At(bytes, 12), 6u);
  EXPECT_EQ(Le32At(bytes, 44), 77u);
  EXPECT_EQ(Slice(bytes, 70, 7), Zeros(7));
}

// --- The catalogue ------------------------------------------------------------------

// A media allocation list that outlives the commands built on it: the
// allocation command keeps a reference to its caller's list.
const std::vector<MediaAllocationEntry>& SevenEntries() {
  static const std::vector<MediaAllocationEntry> entries = {
      {0, 0, 0x0A, 0x04000000},
      {1, 2, 0x0B, 0x00100000},
      {8, 2, 0x0C, 0x00040000},
      {2, 1, 0x50, 0x00200000},
      {3, 1, 0x60, 0x00200000},
      {4, 1, 0x70, 0x00200000},
      {5, 5, 0xA0, 0x0123456789ABCDEFull},
  };
  return entries;
}

struct CommandCase {
  const char* name;
  std::function<std::unique_ptr<CStDdiCmdBase>()> make;
  const char* cdb;  // the whole 16-byte CDB area of the request
  std::uint8_t cdbLength;
  std::uint8_t dataIn;
  std::uint32_t transferLength;
  std::uint32_t timeout;
  const char* direction;         // as the wire shows it
  const char* outcome = "good";  // what the player answers
};

std::ostream& operator<<(std::ostream& os, const CommandCase& c) {
  return os << c.name;
}

const CommandCase kCommands[] = {
    {"Inquiry", [] { return std::make_unique<CStScsiInquiry>(); },
     "12 00 00 00 60 00 00 00 00 00 00 00 00 00 00 00", 6, 1, 96, 120, "in"},
    {"GetProtocolVersion", [] { return std::make_unique<CStGetProtocolVersion>(); },
     "c0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 1, 2, 120, "in"},
    {"GetLogicalMediaInfo9", [] { return std::make_unique<CStGetLogicalMediaInfo>(9, 1); },
     "c0 02 09 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 1, 1, 120, "in"},
    {"GetLogicalMediaInfo6", [] { return std::make_unique<CStGetLogicalMediaInfo>(6, 4); },
     "c0 02 06 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 1, 4, 120, "in"},
    {"GetChipMajorRevId", [] { return std::make_unique<CStGetChipMajorRevId>(); },
     "c0 30 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 1, 2, 120, "in"},
    {"GetROMRevId", [] { return std::make_unique<CStGetROMRevId>(); },
     "c0 37 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 1, 2, 120, "in"},
    {"GetLogicalTable", [] { return std::make_unique<CStGetLogicalTable>(); },
     "c0 05 14 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 1, 222, 120, "in"},
    {"GetLogicalDriveInfoVersion", [] { return std::make_unique<CStGetLogicalDriveInfo>(3, 8, 6); },
     "c0 12 03 08 00 00 00 00 00 00 00 00 00 00 00 00", 16, 1, 6, 120, "in"},
    {"GetLogicalDriveInfoSectorSize",
     [] { return std::make_unique<CStGetLogicalDriveInfo>(5, 0, 4); },
     "c0 12 05 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 1, 4, 120, "in"},
    {"ReadCapacity", [] { return std::make_unique<CStReadCapacity>(); },
     "25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 10, 1, 8, 120, "in"},
    {"ReadLogicalDriveSector",
     [] { return std::make_unique<CStReadLogicalDriveSector>(4, 0x000000000000007Full, 2, 4096); },
     "c0 13 04 00 00 00 00 00 00 00 7f 00 00 00 02 00", 16, 1, 4096, 120, "in"},
    {"WriteLogicalDriveSector",
     [] { return std::make_unique<CStWriteLogicalDriveSector>(2, 128, 128, 128 * 2048, 20); },
     "c1 23 02 00 00 00 00 00 00 00 80 00 00 00 80 00", 16, 0, 128 * 2048, 20, "out"},
    {"EraseLogicalDrive", [] { return std::make_unique<CStEraseLogicalDrive>(8); },
     "c1 2f 08 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 0, 0, 120, "none"},
    {"EraseLogicalMedia", [] { return std::make_unique<CStEraseLogicalMedia>(0x5A); },
     "c1 07 5a 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 0, 0, 120, "none"},
    {"AllocateLogicalMedia",
     [] { return std::make_unique<CStAllocateLogicalMedia>(SevenEntries()); },
     "c1 06 07 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 0, 77, 120, "out",
     // The bootlet row asks for more than the whole media holds.
     "check-condition"},
    {"SetLogicalDriveInfoProductVersion",
     [] {
       return std::make_unique<CStSetLogicalDriveInfo>(2, 8, 0xEE, VersionTriple{1, 2, 3});
     },
     "c1 20 02 08 00 01 00 02 00 03 00 00 00 00 00 00", 16, 0, 0, 120, "none"},
    {"SetLogicalDriveInfoComponentVersion",
     [] {
       return std::make_unique<CStSetLogicalDriveInfo>(3, 7, 0xEE,
                                                       VersionTriple{0x0102, 0xA0B0, 0xFFFE});
     },
     "c1 20 03 07 01 02 a0 b0 ff fe 00 00 00 00 00 00", 16, 0, 0, 120, "none"},
    {"SetLogicalDriveInfoByte",
     [] {
       return std::make_unique<CStSetLogicalDriveInfo>(4, 6, 0x9C, VersionTriple{7, 8, 9});
     },
     "c1 20 04 06 9c 00 00 00 00 00 00 00 00 00 00 00", 16, 0, 0, 120, "none"},
    {"SetLogicalDriveInfoOtherType",
     [] {
       return std::make_unique<CStSetLogicalDriveInfo>(4, 5, 0x9C, VersionTriple{7, 8, 9});
     },
     "c1 20 04 05 00 00 00 00 00 00 00 00 00 00 00 00", 16, 0, 0, 120, "none",
     "check-condition"},  // a type the library never sends
    {"ResetToRecovery", [] { return std::make_unique<CStResetToRecovery>(); },
     "c1 42 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 0, 0, 120, "none"},
    {"ChipReset", [] { return std::make_unique<CStChipReset>(); },
     "c1 31 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 16, 0, 0, 120, "none"},
};

class CommandBytes : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandBytes, RequestHeaderAndCdb) {
  const CommandCase& c = GetParam();
  const auto command = c.make();
  ASSERT_TRUE(command->BuildRequest());
  const std::vector<std::uint8_t> bytes = Bytes(*command);
  ASSERT_EQ(bytes.size(), 71u + c.transferLength);
  EXPECT_EQ(Slice(bytes, 0, 6), Hex("2c 00 00 00 00 00"));
  EXPECT_EQ(bytes[6], c.cdbLength);
  EXPECT_EQ(bytes[7], 18);
  EXPECT_EQ(bytes[8], c.dataIn);
  EXPECT_EQ(Slice(bytes, 9, 3), Zeros(3));
  EXPECT_EQ(Le32At(bytes, 12), c.transferLength);
  EXPECT_EQ(Le32At(bytes, 16), c.timeout);
  EXPECT_EQ(Le32At(bytes, 20), 70u);
  EXPECT_EQ(Le32At(bytes, 24), 52u);
  EXPECT_EQ(Slice(bytes, 28, 16), Hex(c.cdb));
  EXPECT_EQ(Le32At(bytes, 44), 71u + c.transferLength);
  EXPECT_EQ(Slice(bytes, 48, 22), Zeros(22));
  EXPECT_EQ(bytes.back(), 0);
}

// The same exchange as the player receives it.
TEST_P(CommandBytes, WireExchangeWithThePlayer) {
  const CommandCase& c = GetParam();
  sim::World world;
  sim::Player& player = world.addPlayer({});
  player.drives = sim::FactoryDrives(std::vector<std::uint8_t>(4096, 0x11), {1, 2, 3}, {1, 2, 4});
  const platform::Services services = world.services();
  const platform::Handle handle = services.volumes.openDevice("\\\\.\\E:");
  ASSERT_TRUE(handle.isOpen());

  const auto command = c.make();
  ASSERT_TRUE(command->Send(services.volumes, handle));
  EXPECT_TRUE(command->Completed);
  const auto scsi = world.transcript().of(sim::EventKind::Scsi);
  ASSERT_EQ(scsi.size(), 1u);
  EXPECT_EQ(scsi[0].target, "\\\\.\\E:");
  EXPECT_EQ(scsi[0].bytes, Slice(Hex(c.cdb), 0, c.cdbLength));
  EXPECT_EQ(scsi[0].name, c.direction);
  EXPECT_EQ(scsi[0].length, c.transferLength);
  EXPECT_EQ(scsi[0].timeout, c.timeout);
  EXPECT_EQ(scsi[0].outcome, c.outcome);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, CommandBytes, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CommandCatalogue, WriteSectorExampleCdb) {
  CStWriteLogicalDriveSector write(2, 128, 128, 128 * 512, 120);
  ASSERT_TRUE(write.BuildRequest());
  EXPECT_EQ(Slice(Bytes(write), 28, 15), Hex("c1 23 02 00 00 00 00 00 00 00 80 00 00 00 80"));
}

TEST(CommandCatalogue, SectorCommandsCarryWideFieldsBigEndian) {
  CStReadLogicalDriveSector read(0xFE, 0x0102030405060708ull, 0x0A0B0C0D, 0);
  ASSERT_TRUE(read.BuildRequest());
  EXPECT_EQ(Slice(Bytes(read), 28, 16), Hex("c0 13 fe 01 02 03 04 05 06 07 08 0a 0b 0c 0d 00"));
  CStWriteLogicalDriveSector write(0x81, 0xF0E0D0C0B0A09080ull, 0xDEADBEEF, 0, 120);
  ASSERT_TRUE(write.BuildRequest());
  EXPECT_EQ(Slice(Bytes(write), 28, 16), Hex("c1 23 81 f0 e0 d0 c0 b0 a0 90 80 de ad be ef 00"));
}

TEST(CommandCatalogue, WriteSectorUsesItsOwnTimeoutNotTheCommonOne) {
  CStWriteLogicalDriveSector write(2, 0, 1, 512, 20);
  EXPECT_EQ(write.TimeoutSeconds, 120u);
  ASSERT_TRUE(write.BuildRequest());
  EXPECT_EQ(Le32At(Bytes(write), 16), 20u);

  CStWriteLogicalDriveSector longer(2, 0, 1, 512, 120);
  longer.TimeoutSeconds = 20;
  ASSERT_TRUE(longer.BuildRequest());
  EXPECT_EQ(Le32At(Bytes(longer), 16), 120u);
}

TEST(CommandCatalogue, OtherCommandsTakeTheObjectTimeout) {
  CStEraseLogicalDrive erase(1);
  erase.TimeoutSeconds = 45;
  ASSERT_TRUE(erase.BuildRequest());
  EXPECT_EQ(Le32At(Bytes(erase), 16), 45u);
}

TEST(CommandCatalogue, AllocationOfSevenEntriesPacksTenBytesEach) {
  CStAllocateLogicalMedia allocate(SevenEntries());
  EXPECT_EQ(allocate.TransferLength, 77u);
  ASSERT_TRUE(allocate.BuildRequest());
  const std::vector<std::uint8_t> bytes = Bytes(allocate);
  ASSERT_EQ(bytes.size(), 71u + 77u);
  EXPECT_EQ(bytes[28 + 2], 7);
  EXPECT_EQ(Slice(bytes, 70, 77), Hex("00 0a 00 00 00 00 04 00 00 00"
                                      "02 0b 00 00 00 00 00 10 00 00"
                                      "02 0c 00 00 00 00 00 04 00 00"
                                      "01 50 00 00 00 00 00 20 00 00"
                                      "01 60 00 00 00 00 00 20 00 00"
                                      "01 70 00 00 00 00 00 20 00 00"
                                      "05 a0 01 23 45 67 89 ab cd ef"
                                      "00 00 00 00 00 00 00"));
}

// --- Sending ---------------------------------------------------------------------------

class CommandSend : public ::testing::Test {
 protected:
  CommandSend() : services(world.services()) {
    sim::PlayerConfig config;
    config.protocolVersion = 3;
    config.chipMajorRevId = 0x3781;
    config.romRevId = 0x0A05;
    config.mediaType = 0x42;
    sim::Player& player = world.addPlayer(config);
    player.drives = sim::FactoryDrives(std::vector<std::uint8_t>(4096, 0x11), {1, 2, 3}, {1, 2, 4});
    handle = services.volumes.openDevice("\\\\.\\E:");
  }
  platform::VolumeIo& io() { return services.volumes; }

  sim::World world;
  platform::Services services;
  platform::Handle handle;
};

TEST_F(CommandSend, FailedSendDropsTheRequestAndALaterSendRebuildsIt) {
  world.faults().failScsi(0xC0, 0x30, 1);
  CStGetChipMajorRevId chip;
  EXPECT_FALSE(chip.Send(io(), handle));
  EXPECT_FALSE(chip.Completed);
  EXPECT_TRUE(chip.RequestBytes().empty());
  EXPECT_EQ(chip.ResponseData(), nullptr);
  std::uint16_t id = 0xFFFF;
  EXPECT_FALSE(chip.GetChipMajorRevId(id));
  EXPECT_EQ(id, 0xFFFF);

  EXPECT_TRUE(chip.Send(io(), handle));
  EXPECT_TRUE(chip.Completed);
  ASSERT_TRUE(chip.GetChipMajorRevId(id));
  EXPECT_EQ(id, 0x3781);
  const auto scsi = world.transcript().of(sim::EventKind::Scsi);
  ASSERT_EQ(scsi.size(), 2u);
  EXPECT_EQ(scsi[0].outcome, "not-delivered");
  EXPECT_EQ(scsi[1].outcome, "good");
  EXPECT_EQ(scsi[0].bytes, scsi[1].bytes);
}

TEST_F(CommandSend, ADeliveredCheckConditionCountsAsSent) {
  world.faults().rejectScsi(0xC0, 0x37, 1);
  CStGetROMRevId rom;
  EXPECT_TRUE(rom.Send(io(), handle));
  EXPECT_TRUE(rom.Completed);
  std::uint16_t id = 0xFFFF;
  EXPECT_TRUE(rom.GetROMRevId(id));
  EXPECT_EQ(id, 0);  // no data moved
}

TEST_F(CommandSend, SendWithoutAnOpenHandleFails) {
  CStGetProtocolVersion version;
  EXPECT_FALSE(version.Send(io(), platform::Handle::null()));
  EXPECT_FALSE(version.Completed);
  EXPECT_TRUE(version.RequestBytes().empty());
}

TEST_F(CommandSend, ResendingACompletedCommandSendsTheSameBlock) {
  sim::SimDrive& drive = *world.player().driveByTag(0x50);  // drive 2, 2048-byte sectors
  CStWriteLogicalDriveSector write(2, 3, 1, 2048, 120);
  ASSERT_TRUE(write.BuildRequest());
  for (std::uint32_t i = 0; i < 2048; ++i)
    write.ResponseData()[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(write.Send(io(), handle));
  const std::vector<std::uint8_t> written = drive.media.read(3 * 2048, 2048);
  EXPECT_EQ(written[1], 7);
  drive.media.erase();
  ASSERT_TRUE(write.Send(io(), handle));
  EXPECT_EQ(drive.media.read(3 * 2048, 2048), written);
}

TEST_F(CommandSend, RequestTooLargeToAllocateIsNeverSent) {
  CStReadLogicalDriveSector read(2, 0, 1, 0xFFFFFFFFu);
  EXPECT_FALSE(read.BuildRequest());
  EXPECT_FALSE(read.Send(io(), handle));
  EXPECT_FALSE(read.Completed);
  EXPECT_TRUE(read.RequestBytes().empty());
  EXPECT_TRUE(world.transcript().of(sim::EventKind::Scsi).empty());
}

// Each decoder, after a send that was not delivered.
struct DecoderCase {
  const char* name;
  std::uint8_t opcode;
  std::optional<std::uint8_t> operation;
  // Sends and decodes; true if any decoder produced a value.
  std::function<bool(platform::VolumeIo&, platform::Handle)> sendAndDecode;
};

std::ostream& operator<<(std::ostream& os, const DecoderCase& c) {
  return os << c.name;
}

const DecoderCase kDecoders[] = {
    {"Inquiry", 0x12, std::nullopt,
     [](platform::VolumeIo& io, platform::Handle h) {
       CStScsiInquiry c;
       const bool sent = c.Send(io, h);
       return sent || c.GetDeviceKind() != DeviceKindNone;
     }},
    {"ProtocolVersion", 0xC0, 0x00,
     [](platform::VolumeIo& io, platform::Handle h) {
       CStGetProtocolVersion c;
       std::int32_t v = 0;
       const bool sent = c.Send(io, h);
       return sent || c.GetProtocolVersion(v);
     }},
    {"MediaInfo", 0xC0, 0x02,
     [](platform::VolumeIo& io, platform::Handle h) {
       CStGetLogicalMediaInfo c(6, 4);
       std::uint8_t v = 0;
       const bool sent = c.Send(io, h);
       return sent || c.GetValue(v) || c.GetMediaType(v);
     }},
    {"ChipMajorRevId", 0xC0, 0x30,
     [](platform::VolumeIo& io, platform::Handle h) {
       CStGetChipMajorRevId c;
       std::uint16_t v = 0;
       const bool sent = c.Send(io, h);
       return sent || c.GetChipMajorRevId(v);
     }},
    {"ROMRevId", 0xC0, 0x37,
     [](platform::VolumeIo& io, platform::Handle h) {
       CStGetROMRevId c;
       std::uint16_t v = 0;
       const bool sent = c.Send(io, h);
       return sent || c.GetROMRevId(v);
     }},
    {"LogicalTable", 0xC0, 0x05,
     [](platform::VolumeIo& io, platform::Handle h) {
       CStGetLogicalTable c;
       c.EntryCount = 3;
       std::uint16_t count = 0;
       DriveTableEntry e;
       const bool sent = c.Send(io, h);
       return sent || c.GetEntryCount(count) || c.GetEntry(0, e);
     }},
    {"DriveVersion", 0xC0, 0x12,
     [](platform::VolumeIo& io, platform::Handle h) {
       CStGetLogicalDriveInfo c(2, 8, 6);
       VersionTriple v{};
       const bool sent = c.Send(io, h);
       return sent || c.GetVersion(v);
     }},
    {"DriveSectorSize", 0xC0, 0x12,
     [](platform::VolumeIo& io, platform::Handle h) {
       CStGetLogicalDriveInfo c(2, 0, 4);
       std::uint32_t v = 0;
       const bool sent = c.Send(io, h);
       return sent || c.GetSectorSize(v);
     }},
    {"ReadCapacity", 0x25, std::nullopt,
     [](platform::VolumeIo& io, platform::Handle h) {
       CStReadCapacity c;
       std::uint32_t v = 0;
       const bool sent = c.Send(io, h);
       return sent || c.GetLastLogicalBlockAddress(v) || c.GetBlockLength(v);
     }},
};

class DecoderAfterFailedSend : public CommandSend,
                               public ::testing::WithParamInterface<DecoderCase> {};

TEST_P(DecoderAfterFailedSend, RefusesToDecode) {
  const DecoderCase& c = GetParam();
  // Control: delivered, the decoders answer.
  EXPECT_TRUE(c.sendAndDecode(io(), handle));
  world.faults().failScsi(c.opcode, c.operation, 1);
  EXPECT_FALSE(c.sendAndDecode(io(), handle));
}

INSTANTIATE_TEST_SUITE_P(Decoders, DecoderAfterFailedSend, ::testing::ValuesIn(kDecoders),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandSend, FailedResendOfACompletedCommandForgetsTheOldResponse) {
  CStReadCapacity capacity;
  ASSERT_TRUE(capacity.Send(io(), handle));
  std::uint32_t lba = 0;
  ASSERT_TRUE(capacity.GetLastLogicalBlockAddress(lba));
  EXPECT_EQ(lba, 64u * 1024 * 1024 / 512 - 1);
  world.faults().failScsi(0x25, std::nullopt, 1);
  EXPECT_FALSE(capacity.Send(io(), handle));
  EXPECT_FALSE(capacity.Completed);
  EXPECT_FALSE(capacity.GetLastLogicalBlockAddress(lba));
}

TEST_F(CommandSend, DecodersReadThePlayersAnswers) {
  CStGetProtocolVersion version;
  CStGetChipMajorRevId chip;
  CStGetROMRevId rom;
  CStGetLogicalMediaInfo media(6, 4);
  CStGetLogicalMediaInfo present(9, 1);
  CStGetLogicalDriveInfo sectorSize(2, 0, 4);
  CStGetLogicalDriveInfo productVersion(2, 8, 6);
  for (CStDdiCmdBase* c : std::initializer_list<CStDdiCmdBase*>{
           &version, &chip, &rom, &media, &present, &sectorSize, &productVersion})
    ASSERT_TRUE(c->Send(io(), handle));
  std::int32_t protocol = 0;
  std::uint16_t chipId = 0, romId = 0;
  std::uint8_t mediaType = 0, flag = 0;
  std::uint32_t size = 0;
  VersionTriple triple{};
  ASSERT_TRUE(version.GetProtocolVersion(protocol));
  ASSERT_TRUE(chip.GetChipMajorRevId(chipId));
  ASSERT_TRUE(rom.GetROMRevId(romId));
  ASSERT_TRUE(media.GetMediaType(mediaType));
  ASSERT_TRUE(present.GetValue(flag));
  ASSERT_TRUE(sectorSize.GetSectorSize(size));
  ASSERT_TRUE(productVersion.GetVersion(triple));
  EXPECT_EQ(protocol, 3);
  EXPECT_EQ(chipId, 0x3781);
  EXPECT_EQ(romId, 0x0A05);
  EXPECT_EQ(mediaType, 0x42);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(size, 2048u);
  EXPECT_EQ(triple, (VersionTriple{1, 2, 3}));
}

// --- Decoders on given response bytes -------------------------------------------------

// Builds the request and puts `response` in its data area as if the device
// had answered.
template <typename Command>
void Answer(Command& command, const std::vector<std::uint8_t>& response) {
  ASSERT_TRUE(command.BuildRequest());
  ASSERT_LE(response.size(), command.TransferLength);
  std::copy(response.begin(), response.end(), command.ResponseData());
  command.Completed = true;
}

TEST(Decoders, NothingIsDecodedFromAnExchangeThatDidNotComplete) {
  CStGetProtocolVersion version;
  ASSERT_TRUE(version.BuildRequest());
  version.ResponseData()[0] = 4;
  std::int32_t v = -1;
  EXPECT_FALSE(version.GetProtocolVersion(v));
  EXPECT_EQ(v, -1);
  version.Completed = true;
  ASSERT_TRUE(version.GetProtocolVersion(v));
  EXPECT_EQ(v, 4);
}

TEST(Decoders, ProtocolVersionIsByteZeroZeroExtended) {
  CStGetProtocolVersion version;
  Answer(version, Hex("fe 07"));
  std::int32_t v = 0;
  ASSERT_TRUE(version.GetProtocolVersion(v));
  EXPECT_EQ(v, 0xFE);
}

TEST(Decoders, MediaTypeOnlyFromInfoType6) {
  CStGetLogicalMediaInfo present(9, 1);
  Answer(present, Hex("05"));
  std::uint8_t value = 0xEE;
  EXPECT_FALSE(present.GetMediaType(value));
  EXPECT_EQ(value, 0xEE);
  ASSERT_TRUE(present.GetValue(value));
  EXPECT_EQ(value, 5);

  CStGetLogicalMediaInfo media(6, 4);
  Answer(media, Hex("07 01 02 03"));
  ASSERT_TRUE(media.GetMediaType(value));
  EXPECT_EQ(value, 7);
}

TEST(Decoders, RevisionIdsAreBigEndian) {
  CStGetChipMajorRevId chip;
  Answer(chip, Hex("37 80"));
  CStGetROMRevId rom;
  Answer(rom, Hex("00 03"));
  std::uint16_t id = 0;
  ASSERT_TRUE(chip.GetChipMajorRevId(id));
  EXPECT_EQ(id, 0x3780);
  ASSERT_TRUE(rom.GetROMRevId(id));
  EXPECT_EQ(id, 0x0003);
}

TEST(Decoders, LogicalTableEntriesAtOffsets2_13_24) {
  CStGetLogicalTable table;
  Answer(table, Hex("00 03"
                    "00 00 0a 00 00 00 00 04 00 00 00"
                    "02 01 50 00 00 00 00 00 20 00 00"
                    "fe 05 a0 01 02 03 04 05 06 07 08"
                    "07 02 0c 00 00 00 00 00 00 10 00"));  // a fourth the count excludes
  ASSERT_TRUE(table.GetEntryCount(table.EntryCount));
  EXPECT_EQ(table.EntryCount, 3);
  struct Expected {
    std::uint8_t number, type, tag;
    std::uint64_t size;
  };
  const Expected expected[] = {{0x00, 0x00, 0x0A, 0x04000000},
                               {0x02, 0x01, 0x50, 0x00200000},
                               {0xFE, 0x05, 0xA0, 0x0102030405060708ull}};
  for (std::uint32_t i = 0; i < 3; ++i) {
    DriveTableEntry entry;
    entry.Version = {9, 9, 9};
    entry.SectorSize = 99;
    ASSERT_TRUE(table.GetEntry(i, entry)) << i;
    EXPECT_EQ(entry.DriveNumber, expected[i].number) << i;
    EXPECT_EQ(entry.DriveType, expected[i].type) << i;
    EXPECT_EQ(entry.DriveTag, expected[i].tag) << i;
    EXPECT_EQ(entry.SizeInBytes, expected[i].size) << i;
    // What the table does not carry starts out unknown.
    EXPECT_EQ(entry.Version, (VersionTriple{0, 0, 0})) << i;
    EXPECT_EQ(entry.SectorSize, 0u) << i;
  }
  DriveTableEntry beyond;
  beyond.DriveTag = 0x77;
  EXPECT_FALSE(table.GetEntry(3, beyond));
  EXPECT_EQ(beyond.DriveTag, 0x77);
}

TEST(Decoders, LogicalTableEntryBeyondTheResponseIsRefused) {
  CStGetLogicalTable table;
  std::vector<std::uint8_t> response = Hex("00 15");  // 21 announced
  for (std::uint8_t i = 0; i < 20; ++i) {
    const std::uint8_t entry[11] = {i, 0, static_cast<std::uint8_t>(0x80 + i), 0, 0, 0, 0, 0, 0,
                                    0, 1};
    response.insert(response.end(), entry, entry + 11);
  }
  ASSERT_EQ(response.size(), 222u);
  Answer(table, response);
  ASSERT_TRUE(table.GetEntryCount(table.EntryCount));
  EXPECT_EQ(table.EntryCount, 21);
  DriveTableEntry entry;
  ASSERT_TRUE(table.GetEntry(19, entry));
  EXPECT_EQ(entry.DriveTag, 0x80 + 19);
  EXPECT_FALSE(table.GetEntry(20, entry));
}

TEST(Decoders, DriveVersionReadsOnlyTheWordsWithinTheTransfer) {
  const struct {
    std::uint32_t length;
    VersionTriple expected;
  } cases[] = {
      {6, {0x0102, 0x0304, 0x0506}},
      {4, {0x0102, 0x0304, 0xBEEF}},
      {2, {0x0102, 0xBEEF, 0xBEEF}},
      {0, {0xBEEF, 0xBEEF, 0xBEEF}},
  };
  for (const auto& c : cases) {
    CStGetLogicalDriveInfo info(2, 8, c.length);
    ASSERT_TRUE(info.BuildRequest());
    const std::vector<std::uint8_t> words = Hex("01 02 03 04 05 06");
    // The words the device would have sent, whether or not the request
    // asked for them; only the requested length may be read.
    std::copy(words.begin(), words.begin() + c.length, info.ResponseData());
    info.Completed = true;
    VersionTriple version = {0xBEEF, 0xBEEF, 0xBEEF};
    EXPECT_TRUE(info.GetVersion(version)) << c.length;
    EXPECT_EQ(version, c.expected) << c.length;
  }
}

TEST(Decoders, DriveVersionOnlyForInfoType8) {
  CStGetLogicalDriveInfo info(2, 7, 6);
  Answer(info, Hex("00 01 00 02 00 03"));
  VersionTriple version = {5, 5, 5};
  EXPECT_FALSE(info.GetVersion(version));
  EXPECT_EQ(version, (VersionTriple{5, 5, 5}));
}

TEST(Decoders, ShortTransfersRefuseWideFields) {
  CStGetLogicalDriveInfo sector(2, 0, 3);
  Answer(sector, Hex("00 00 08"));
  std::uint32_t size = 7;
  EXPECT_FALSE(sector.GetSectorSize(size));
  EXPECT_EQ(size, 7u);

  CStReadCapacity capacity;
  capacity.TransferLength = 4;
  Answer(capacity, Hex("00 01 ff ff"));
  std::uint32_t lba = 0, blockLength = 1234;
  ASSERT_TRUE(capacity.GetLastLogicalBlockAddress(lba));
  EXPECT_EQ(lba, 0x0001FFFFu);
  EXPECT_FALSE(capacity.GetBlockLength(blockLength));
  EXPECT_EQ(blockLength, 1234u);

  CStReadCapacity full;
  Answer(full, Hex("00 01 ff ff 00 00 02 00"));
  ASSERT_TRUE(full.GetBlockLength(blockLength));
  EXPECT_EQ(blockLength, 512u);

  CStGetChipMajorRevId chip;
  chip.TransferLength = 1;
  Answer(chip, Hex("37"));
  std::uint16_t id = 0;
  EXPECT_FALSE(chip.GetChipMajorRevId(id));

  CStGetProtocolVersion version;
  version.TransferLength = 0;
  Answer(version, {});
  std::int32_t v = 0;
  EXPECT_FALSE(version.GetProtocolVersion(v));
}

// --- The device kind --------------------------------------------------------------------

struct InquiryCase {
  const char* name;
  std::uint8_t byte0;
  const char* vendor;   // 8 bytes at offset 8
  const char* product;  // 16 bytes at offset 16
  DeviceKind expected;
};

std::ostream& operator<<(std::ostream& os, const InquiryCase& c) {
  return os << c.name;
}

const InquiryCase kInquiries[] = {
    {"Updater", 0x00, "_Generic", "MSC Recovery    ", DeviceKindUpdater},
    {"UpdaterOtherCase", 0x00, "_GENERIC", "msc recovery    ", DeviceKindUpdater},
    {"UpdaterMixedCase", 0x00, "_gEnErIc", "mSc ReCoVeRy    ", DeviceKindUpdater},
    {"Player", 0x00, "Korvane ", "Tessio Mirl     ", DeviceKindPlayer},
    {"PlayerUpperCase", 0x00, "KORVANE ", "TESSIO MIRL     ", DeviceKindPlayer},
    {"PlayerLowerCase", 0x00, "korvane ", "tessio mirl     ", DeviceKindPlayer},
    {"PlayerLongerProduct", 0x00, "Korvane ", "Tessio Mirl Pro ", DeviceKindPlayer},
    {"PlayerWithQualifierBits", 0x20, "Korvane ", "Tessio Mirl     ", DeviceKindPlayer},
    {"CdRomWithPlayerStrings", 0x05, "Korvane ", "Tessio Mirl     ", DeviceKindNone},
    {"CdRomWithUpdaterStrings", 0x05, "_Generic", "MSC Recovery    ", DeviceKindNone},
    {"SequentialWithPlayerStrings", 0x01, "Korvane ", "Tessio Mirl     ", DeviceKindNone},
    {"UnknownTypeWithUpdaterStrings", 0x1F, "_Generic", "MSC Recovery    ", DeviceKindNone},
    {"OtherVendor", 0x00, "Generic ", "USB Flash Disk  ", DeviceKindNone},
    {"DiskVendor", 0x00, "ATA     ", "ST500DM002-1BD14", DeviceKindNone},
    {"PlayerVendorUpdaterProduct", 0x00, "Korvane ", "MSC Recovery    ", DeviceKindNone},
    {"UpdaterVendorPlayerProduct", 0x00, "_Generic", "Tessio Mirl     ", DeviceKindNone},
    {"NearlyPlayer", 0x00, "Korvane ", "Tessio Mir1     ", DeviceKindNone},
    {"VendorWithoutSpace", 0x00, "KorvaneX", "Tessio Mirl     ", DeviceKindNone},
    {"NearlyUpdater", 0x00, "Generic_", "MSC Recovery    ", DeviceKindNone},
};

class DeviceKindDecision : public ::testing::TestWithParam<InquiryCase> {};

TEST_P(DeviceKindDecision, FromInquiryData) {
  const InquiryCase& c = GetParam();
  std::vector<std::uint8_t> data(96, 0);
  data[0] = c.byte0;
  data[1] = 0x80;
  data[4] = 91;
  std::memcpy(&data[8], c.vendor, 8);
  std::memcpy(&data[16], c.product, 16);
  std::memcpy(&data[32], "0102", 4);
  CStScsiInquiry inquiry;
  Answer(inquiry, data);
  EXPECT_EQ(inquiry.GetDeviceKind(), c.expected);
  inquiry.Completed = false;
  EXPECT_EQ(inquiry.GetDeviceKind(), DeviceKindNone);
}

INSTANTIATE_TEST_SUITE_P(Inquiry, DeviceKindDecision, ::testing::ValuesIn(kInquiries),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandSend, InquiryOfThePlayerAndOfForeignDrives) {
  CStScsiInquiry player;
  ASSERT_TRUE(player.Send(io(), handle));
  EXPECT_EQ(player.GetDeviceKind(), DeviceKindPlayer);

  world.addHostDrive('H', platform::DriveType::Removable, "FAT");
  const platform::Handle stick = io().openDevice("\\\\.\\H:");
  CStScsiInquiry foreign;
  ASSERT_TRUE(foreign.Send(io(), stick));
  EXPECT_EQ(foreign.GetDeviceKind(), DeviceKindNone);

  sim::PlayerConfig updaterConfig;
  updaterConfig.letter = 'G';
  updaterConfig.initialMode = sim::PlayerMode::Updater;
  world.addPlayer(updaterConfig);
  const platform::Handle updaterHandle = io().openDevice("\\\\.\\G:");
  CStScsiInquiry updater;
  ASSERT_TRUE(updater.Send(io(), updaterHandle));
  EXPECT_EQ(updater.GetDeviceKind(), DeviceKindUpdater);
}

// --- The simulated device's own limits ------------------------------------------------------

TEST_F(CommandSend, CapacityOfADataDriveWithoutSectorSizeIsACheckCondition) {
  world.player().dataDrive()->sectorSize = 0;
  CStReadCapacity capacity;
  ASSERT_TRUE(capacity.Send(io(), handle));
  EXPECT_EQ(world.transcript().of(sim::EventKind::Scsi).back().outcome, "check-condition");
  std::uint32_t lba = 1;
  ASSERT_TRUE(capacity.GetLastLogicalBlockAddress(lba));
  EXPECT_EQ(lba, 0u);
}

TEST_F(CommandSend, RemovedHostDriveNoLongerAnswersNorComesBack) {
  world.addHostDrive('H', platform::DriveType::Removable, "FAT");
  const platform::Handle stick = io().openDevice("\\\\.\\H:");
  ASSERT_TRUE(stick.isOpen());
  world.removeHostDrive('H');
  CStScsiInquiry inquiry;
  EXPECT_FALSE(inquiry.Send(io(), stick));
  EXPECT_EQ(world.transcript().of(sim::EventKind::Scsi).back().outcome, "not-delivered");
  EXPECT_EQ(io().logicalDriveMask() & (1u << ('H' - 'A')), 0u);
  EXPECT_EQ(io().driveType("H:\\"), platform::DriveType::NoRootDir);
}

}  // namespace
}  // namespace kx7
