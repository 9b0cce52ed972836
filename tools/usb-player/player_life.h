#pragma once

// The player's life on the bus: why it leaves, and in which mode and after
// how long it comes back. The one place the USB player decides mode changes.

#include <cstdint>
#include <optional>

#include "sim/player.h"

namespace kx7::usbplayer {

enum class Leaving {
  ResetToRecovery,    // the firmware was told to restart in the ROM
  ChipReset,          // the updater or firmware restarts the chip
  UpdaterDownloaded,  // the ROM starts the updater it was sent
  Unplugged,          // pulled out by hand
  PluggedIn,          // put back in
  PluggedInForRecovery,  // put back in with the recovery button held
};

struct Arrival {
  sim::PlayerMode mode;
  std::uint32_t delayMs;  // on the player's own clock
};

// What follows a player leaving for `why`; none when it stays away.
std::optional<Arrival> NextArrival(const sim::Player& player, Leaving why);

// The reason a command's effect gives to leave the bus.
std::optional<Leaving> LeavingFor(sim::PlayerEffect effect);

// The mode a player comes up in when it is plugged in.
sim::PlayerMode PowerOnMode(const sim::Player& player);

}  // namespace kx7::usbplayer
