#pragma once

// A simulated world's players as they stand, for `--save-state FILE`: each
// player's mode, letter and firmware version, its drive table with what
// each firmware drive holds (the folder's image and erased flash after it,
// erased flash only, or something else), and the files on its data drive
// with their SHA-256. Written at the end of a run and when a held signal
// stops the tool, so that a test - or a curious person - sees what the run
// left behind.

#include <nlohmann/json.hpp>

#include <string>

#include "platform/files.h"
#include "sim/world.h"

namespace kx7::cli {

nlohmann::json WorldState(sim::World& world, platform::FileSystem& files,
                          const std::string& firmwareFolder);

}  // namespace kx7::cli
