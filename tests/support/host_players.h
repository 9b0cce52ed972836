#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/player/player.h"
#include "sim/scenario/sb_file.h"
#include "sim/world.h"

namespace kx7::test {

// A player in normal mode at `letter`, with factory drives so that it opens
// and answers as a player in mass-storage mode.
inline sim::Player& AddNormalPlayer(sim::World& world, std::string serial, char letter) {
  sim::PlayerConfig config;
  config.serial = std::move(serial);
  config.letter = letter;
  sim::Player& player = world.addPlayer(config);
  player.drives = sim::FactoryDrives(sim::BuildSbFile({.size = 8192}), {1, 1, 0}, {1, 1, 0});
  return player;
}

// Test-name suffix for suites run on several Windows versions.
inline std::string OsPresetName(const ::testing::TestParamInfo<sim::OsPreset>& info) {
  switch (info.param) {
    case sim::OsPreset::Windows2000:
      return "Windows2000";
    case sim::OsPreset::WindowsXP:
      return "WindowsXP";
    case sim::OsPreset::Server2003:
      return "Server2003";
    case sim::OsPreset::Vista:
      return "Vista";
    case sim::OsPreset::Windows7:
      return "Windows7";
    case sim::OsPreset::Windows10:
      return "Windows10";
    case sim::OsPreset::Windows81:
      return "Windows81";
    case sim::OsPreset::Windows11:
      return "Windows11";
  }
  return "Unknown";
}

}  // namespace kx7::test
