// The simulated player's life on the bus, as the three carriers of its
// traffic (the simulated world, the umockdev testbed, the USB player) rely
// on it: why it leaves, how long it stays away, what it comes back as, and
// that a change overtaken by another is dropped.
#include <gtest/gtest.h>

#include "sim/player/player.h"
#include "sim/scenario/default_scenario.h"

namespace kx7 {
namespace {

using sim::Leaving;
using sim::PlayerMode;

sim::Player MakePlayer(bool bootable) {
  sim::PlayerConfig config;
  config.recoveryEntryDelayMs = 1111;
  config.updaterStartDelayMs = 2222;
  config.rebootDelayMs = 3333;
  sim::Player player(config);
  player.drives = sim::FactoryDrives(
      bootable ? sim::DefaultPlayerFirmwareFile() : std::vector<std::uint8_t>(4096, 0), {1, 1, 0},
      {1, 1, 0});
  player.plugIn();
  return player;
}

TEST(PlayerLife, EachReasonToLeaveHasItsArrival) {
  struct Case {
    Leaving why;
    bool bootable;
    PlayerMode away;
    std::optional<PlayerMode> back;
    std::uint32_t delayMs;
  } const cases[] = {
      {Leaving::ResetToRecovery, true, PlayerMode::Restarting, PlayerMode::RomRecovery, 1111},
      {Leaving::UpdaterDownloaded, false, PlayerMode::Restarting, PlayerMode::Updater, 2222},
      {Leaving::ChipReset, true, PlayerMode::Restarting, PlayerMode::Normal, 3333},
      // Drives the boot ROM cannot start leave it in its recovery mode.
      {Leaving::ChipReset, false, PlayerMode::Restarting, PlayerMode::RomRecovery, 3333},
      {Leaving::Unplugged, true, PlayerMode::Unplugged, std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.why));
    sim::Player player = MakePlayer(c.bootable);
    EXPECT_EQ(player.mode, c.bootable ? PlayerMode::Normal : PlayerMode::RomRecovery);
    const std::uint32_t before = player.generation;
    const std::optional<sim::Arrival> arrival = player.leave(c.why);
    EXPECT_EQ(player.mode, c.away);
    EXPECT_FALSE(player.answersScsi());
    EXPECT_NE(player.generation, before);
    ASSERT_EQ(arrival.has_value(), c.back.has_value());
    if (!arrival) continue;
    EXPECT_EQ(arrival->mode, *c.back);
    EXPECT_EQ(arrival->delayMs, c.delayMs);
    EXPECT_TRUE(player.arrive(*arrival));
    EXPECT_EQ(player.mode, *c.back);
  }
}

TEST(PlayerLife, AnArrivalOvertakenByAnotherChangeIsDropped) {
  sim::Player player = MakePlayer(true);
  const sim::Arrival pending = *player.leave(Leaving::ResetToRecovery);
  player.leave(Leaving::Unplugged);
  EXPECT_FALSE(player.arrive(pending));
  EXPECT_EQ(player.mode, PlayerMode::Unplugged);

  const sim::Arrival again = *player.leave(Leaving::ChipReset);
  player.plugIn(true);
  EXPECT_FALSE(player.arrive(again));
  EXPECT_EQ(player.mode, PlayerMode::RomRecovery);
}

TEST(PlayerLife, EachRomSessionStartsAfresh) {
  sim::Player player = MakePlayer(false);
  std::vector<std::uint8_t> command(player.config.hidOutputReportLength, 0);
  command[0] = 0x01;  // not a valid command block: the session notes an error
  EXPECT_FALSE(player.receiveHidReport(command));
  EXPECT_TRUE(player.hidProtocolError());
  player.arrive(*player.leave(Leaving::ChipReset));
  EXPECT_EQ(player.mode, PlayerMode::RomRecovery);
  EXPECT_FALSE(player.hidProtocolError());
  EXPECT_EQ(player.hidReportsReceived(), 0u);
}

}  // namespace
}  // namespace kx7
