#pragma once

// The file system a player leaves the factory with, laid down on its data
// drive's sectors: a host that reads the disk sees a partition table, a
// FAT16 volume and the player's settings files in its root.

#include <cstdint>
#include <string>

#include "sim/player/player.h"

namespace kx7::usbplayer {

// Where the factory partition starts, in 512-byte sectors.
inline constexpr std::uint32_t kFactoryPartitionStart = 2048;

// Lays the factory volume with the player's root files when the data drive
// still holds the factory file system only as a model (nothing on its
// sectors). False with `error` when the drive cannot hold one.
bool LayFactoryVolume(sim::Player& player, std::string& error);

}  // namespace kx7::usbplayer
