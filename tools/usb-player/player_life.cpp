#include "tools/usb-player/player_life.h"

namespace kx7::usbplayer {

sim::PlayerMode PowerOnMode(const sim::Player& player) {
  // The boot ROM starts the firmware if a firmware drive holds one.
  return player.hasBootableFirmware() ? sim::PlayerMode::Normal : sim::PlayerMode::RomRecovery;
}

std::optional<Arrival> NextArrival(const sim::Player& player, Leaving why) {
  const sim::PlayerConfig& c = player.config;
  switch (why) {
    case Leaving::ResetToRecovery:
      return Arrival{sim::PlayerMode::RomRecovery, c.recoveryEntryDelayMs};
    case Leaving::ChipReset:
      return Arrival{PowerOnMode(player), c.rebootDelayMs};
    case Leaving::UpdaterDownloaded:
      return Arrival{sim::PlayerMode::Updater, c.updaterStartDelayMs};
    case Leaving::PluggedIn:
      return Arrival{PowerOnMode(player), 0};
    case Leaving::PluggedInForRecovery:
      return Arrival{sim::PlayerMode::RomRecovery, 0};
    case Leaving::Unplugged:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<Leaving> LeavingFor(sim::PlayerEffect effect) {
  switch (effect) {
    case sim::PlayerEffect::LeaveForRecovery:
      return Leaving::ResetToRecovery;
    case sim::PlayerEffect::Reboot:
      return Leaving::ChipReset;
    case sim::PlayerEffect::None:
      break;
  }
  return std::nullopt;
}

}  // namespace kx7::usbplayer
