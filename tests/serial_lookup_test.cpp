// DeviceSerialNum: players listed by their USB instance identifiers, as the
// host enumerates them through the export.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "host/serial_lookup.h"
#include "support/host_players.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

class SerialLookupTest : public SimFixture {
 protected:
  // The export's answer and what it left in a 128-byte buffer that started
  // out full of 'x'.
  struct Answer {
    int result;
    std::string text;
    bool untouched;
  };
  Answer Ask(int index) {
    std::array<char, kInstanceIdBufferSize> data;
    data.fill('x');
    const int result = library.DeviceSerialNum(data.data(), index);
    const bool untouched = std::all_of(data.begin(), data.end(), [](char c) { return c == 'x'; });
    return {result, untouched ? "" : std::string(data.data(), strnlen(data.data(), data.size())),
            untouched};
  }
};

TEST_F(SerialLookupTest, TwoPlayersByIndexInEnumerationOrder) {
  AddNormalPlayer(world, "0000KX7T00000001", 'E');
  AddNormalPlayer(world, "0000KX7T00000002", 'F');

  const Answer first = Ask(0);
  EXPECT_EQ(first.result, 1);
  EXPECT_EQ(first.text, "USB\\VID_3F1C&PID_7A52\\0000KX7T00000001");
  const Answer second = Ask(1);
  EXPECT_EQ(second.result, 1);
  EXPECT_EQ(second.text, "USB\\VID_3F1C&PID_7A52\\0000KX7T00000002");

  for (int index : {2, 3, -1}) {
    const Answer none = Ask(index);
    EXPECT_EQ(none.result, 0) << index;
    EXPECT_TRUE(none.untouched) << index;
  }
}

TEST_F(SerialLookupTest, OnlyUsbClassDevicesWithThePrefixCount) {
  // The prefix in other classes, a class name differing only in case, and a
  // USB device of another product: none of them is a player.
  world.addOtherDevice("HIDClass", "USB\\VID_3F1C&PID_7A52\\NOTAPLAYER1");
  world.addOtherDevice("usb", "USB\\VID_3F1C&PID_7A52\\NOTAPLAYER2");
  world.addOtherDevice("USB ", "USB\\VID_3F1C&PID_7A52\\NOTAPLAYER3");
  world.addOtherDevice("USB", "USB\\VID_3F1C&PID_7A53\\NOTAPLAYER4");
  // Lower case, and the prefix further inside the identifier, still match;
  // the identifier comes back as the device list spells it.
  world.addOtherDevice("USB", "usb\\vid_3f1c&pid_7a52\\lower5");
  world.addOtherDevice("USB", "ROOT\\USB\\VID_3F1C&PID_7A52\\INSIDE6");
  AddNormalPlayer(world, "0000KX7T00000007", 'E');

  EXPECT_EQ(Ask(0).text, "usb\\vid_3f1c&pid_7a52\\lower5");
  EXPECT_EQ(Ask(1).text, "ROOT\\USB\\VID_3F1C&PID_7A52\\INSIDE6");
  EXPECT_EQ(Ask(2).text, "USB\\VID_3F1C&PID_7A52\\0000KX7T00000007");
  EXPECT_EQ(Ask(3).result, 0);
}

TEST_F(SerialLookupTest, PlayersOutsideMassStorageModeAreNotListed) {
  AddNormalPlayer(world, "0000KX7T0000000A", 'E');
  sim::PlayerConfig recovering;
  recovering.serial = "0000KX7T0000000B";
  recovering.initialMode = sim::PlayerMode::RomRecovery;
  world.addPlayer(recovering);

  EXPECT_EQ(Ask(0).text, "USB\\VID_3F1C&PID_7A52\\0000KX7T0000000A");
  EXPECT_EQ(Ask(1).result, 0);
}

TEST_F(SerialLookupTest, DeviceListFailureReturnsTheSystemError) {
  AddNormalPlayer(world, "0000KX7T00000001", 'E');
  world.faults().failDeviceList(87);  // ERROR_INVALID_PARAMETER

  const Answer failed = Ask(0);
  EXPECT_EQ(failed.result, 87);
  EXPECT_TRUE(failed.untouched);
}

TEST_F(SerialLookupTest, UnreadableIdentifierLeavesThePreviousOne) {
  // The second identifier does not fit the 128-byte buffer, so the read
  // fails and the first identifier is judged again: it counts twice.
  world.addOtherDevice("USB", "USB\\VID_3F1C&PID_7A52\\FIRST");
  world.addOtherDevice("USB", "USB\\VID_3F1C&PID_7A52\\" + std::string(140, 'L'));

  EXPECT_EQ(Ask(0).text, "USB\\VID_3F1C&PID_7A52\\FIRST");
  EXPECT_EQ(Ask(1).text, "USB\\VID_3F1C&PID_7A52\\FIRST");
  EXPECT_EQ(Ask(2).result, 0);
}

}  // namespace
}  // namespace kx7::test
