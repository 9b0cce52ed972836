// The log kept on real hardware (--log FILE): the recording decorator over
// the services a host application gives the library. Wrapped around a
// simulated world, it must see exactly the device traffic the world itself
// saw, field by field, and read the pass-through block as the system does.
#include <gtest/gtest.h>

#include <vector>

#include "api/library.h"
#include "record/pass_through_fields.h"
#include "record/recording_services.h"
#include "sim/scenario/default_scenario.h"
#include "sim/world.h"

namespace kx7::test {
namespace {

using sim::Event;
using sim::EventKind;

std::vector<Event> OfKinds(const std::vector<Event>& events,
                           std::initializer_list<EventKind> kinds) {
  std::vector<Event> out;
  for (const Event& e : events)
    for (EventKind k : kinds)
      if (e.kind == k) out.push_back(e);
  return out;
}

TEST(RecordingServices, LogsWhatTheWorldSawOverAWholeUpdate) {
  struct Case {
    const char* name;
    bool recovery;
  };
  for (const Case& c : {Case{"normal update", false}, Case{"recovery update", true}}) {
    SCOPED_TRACE(c.name);
    sim::World world;
    sim::BuildDefaultScenario(world);
    std::vector<Event> logged;
    record::RecordingServices recorder(
        world.services(), [&] { return world.clock().now(); },
        [&](const Event& e) { logged.push_back(e); });
    Library library(recorder.services());
    const std::size_t before = world.transcript().events().size();
    if (c.recovery) {
      world.unplug(0, world.clock().now());
      world.plugInForRecovery(0, world.clock().now());
      world.sleep(2000);
    }
    const int result = c.recovery
                           ? library.DoRecoveryUpdate("", sim::DefaultScenario::kFirmwareFolder)
                           : library.DoNormalUpdate(sim::DefaultScenario::kSerial,
                                                    sim::DefaultScenario::kFirmwareFolder);
    ASSERT_EQ(result, 0);
    std::vector<Event> seen(world.transcript().events().begin() + static_cast<long>(before),
                            world.transcript().events().end());
    const auto kinds = {EventKind::Scsi, EventKind::HidReport, EventKind::Lock, EventKind::Dismount,
                        EventKind::FileCopy};
    const std::vector<Event> want = OfKinds(seen, kinds);
    const std::vector<Event> got = OfKinds(logged, kinds);
    ASSERT_EQ(got.size(), want.size());
    ASSERT_GT(want.size(), 50u);
    for (std::size_t i = 0; i < want.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(got[i].kind, want[i].kind);
      EXPECT_EQ(got[i].target, want[i].target);
      EXPECT_EQ(got[i].bytes, want[i].bytes);
      EXPECT_EQ(got[i].ok, want[i].ok);
      if (want[i].kind == EventKind::Scsi) {
        EXPECT_EQ(got[i].name, want[i].name);
        EXPECT_EQ(got[i].length, want[i].length);
        EXPECT_EQ(got[i].timeout, want[i].timeout);
        EXPECT_EQ(got[i].outcome, want[i].outcome);
        EXPECT_EQ(got[i].data, want[i].data);
      }
      if (want[i].kind == EventKind::FileCopy) {
        EXPECT_EQ(got[i].name, want[i].name);
      }
    }
  }
}

TEST(RecordingServices, KeepsTheSenseOfARefusal) {
  sim::World world;
  sim::BuildDefaultScenario(world);
  world.faults().rejectScsi(0xC1, 0x2F, 1, 1);  // the first erase: CHECK CONDITION
  std::vector<Event> logged;
  record::RecordingServices recorder(
      world.services(), [&] { return world.clock().now(); },
      [&](const Event& e) { logged.push_back(e); });
  Library library(recorder.services());
  library.DoNormalUpdate(sim::DefaultScenario::kSerial, sim::DefaultScenario::kFirmwareFolder);
  std::size_t refused = 0;
  for (const Event& e : logged) {
    if (e.kind != EventKind::Scsi || e.outcome != "check-condition") continue;
    ++refused;
    EXPECT_EQ(e.bytes.at(1), 0x2F);
    ASSERT_GE(e.sense.size(), 14u);
    EXPECT_EQ(e.sense[0] & 0x7F, 0x70);  // fixed-format sense
  }
  EXPECT_EQ(refused, 1u);
}

// The library's request block: the 44-byte header, byte by byte, the sense
// area at 52 and the data area at 70.
TEST(PassThroughFields, ReadsTheRequestBlock) {
  std::vector<std::uint8_t> block(70 + 8 + 1, 0);
  const std::uint8_t header[] = {
      0x2C, 0x00,              // Length 44
      0x02,                    // ScsiStatus: CHECK CONDITION
      0,    0,    0,           // PathId, TargetId, Lun
      0x10,                    // CdbLength
      0x12,                    // SenseInfoLength
      0x01,                    // DataIn: SCSI_IOCTL_DATA_IN
      0,    0,    0,           // padding
      0x08, 0x00, 0x00, 0x00,  // DataTransferLength
      0x78, 0x00, 0x00, 0x00,  // TimeOutValue 120 s
      0x46, 0x00, 0x00, 0x00,  // DataBufferOffset 70
      0x34, 0x00, 0x00, 0x00,  // SenseInfoOffset 52
      0xC0, 0x12,              // the CDB's first bytes
  };
  std::copy(std::begin(header), std::end(header), block.begin());
  block[52] = 0x70;
  block[54] = 0x05;
  const auto fields = record::DecodePassThrough(block);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->cdb.size(), 16u);
  EXPECT_EQ(fields->cdb[0], 0xC0);
  EXPECT_EQ(fields->cdb[1], 0x12);
  EXPECT_TRUE(fields->dataIn);
  EXPECT_EQ(fields->transferLength, 8u);
  EXPECT_EQ(fields->timeoutSeconds, 120u);
  EXPECT_EQ(fields->scsiStatus, 0x02);
  EXPECT_EQ(fields->sense.size(), 0x12u);
  EXPECT_EQ(fields->sense[2], 0x05);
  EXPECT_EQ(fields->data.size(), 8u);

  // Blocks the system would refuse are not read.
  std::vector<std::uint8_t> shortBlock(block.begin(), block.begin() + 40);
  EXPECT_FALSE(record::DecodePassThrough(shortBlock));
  std::vector<std::uint8_t> farData = block;
  farData[20] = 0x48;  // the data area running past the block's end
  EXPECT_FALSE(record::DecodePassThrough(farData));
}

}  // namespace
}  // namespace kx7::test
