#pragma once

#include <string>

#include "sim/world.h"

namespace kx7::sim {

// The world the command-line updater and the kx7fw-sim library start with: a
// Windows 7 host whose updater application keeps its firmware files in
// kFirmwareFolder, and one player in normal mode at E: running an older
// firmware than the one in that folder.
struct DefaultScenario {
  static constexpr const char* kFirmwareFolder =
      "C:\\Program Files\\Korvane\\Tessio Updater\\Firmware\\";
  static constexpr const char* kSerial = "0000KX7T4A2C19F0";
  static constexpr char kLetter = 'E';
};

void BuildDefaultScenario(World& world);

// The firmware files of the default scenario's folder.
std::vector<std::uint8_t> DefaultFirmwareFile();
std::vector<std::uint8_t> DefaultUpdaterFile();
std::vector<std::uint8_t> DefaultBootletFile();
// The older firmware the default player runs (1.1.0).
std::vector<std::uint8_t> DefaultPlayerFirmwareFile();

}  // namespace kx7::sim
