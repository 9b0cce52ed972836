#pragma once

// A simulated world for measurements: a player whose system drives hold a
// large firmware image, and that firmware in the updater's folder.

#include <memory>
#include <string>

#include "sim/scenario/sb_file.h"
#include "sim/world.h"

namespace kx7::bench {

inline constexpr const char* kFolder = "C:\\Updater\\Firmware\\";
inline constexpr const char* kSerial = "0000KX7TBENCH001";

// A Windows 7 host with one player at E: in `mode`, its firmware drives large
// enough for an image of `imageBytes`, and firmware files of that size.
inline std::unique_ptr<sim::World> MakeWorld(std::size_t imageBytes, sim::PlayerMode mode) {
  auto world = std::make_unique<sim::World>();
  world->files().addFile(std::string(kFolder) + "firmware.sb",
                         sim::BuildSbFile({.productVersion = {2, 3, 14}, .size = imageBytes}));
  world->files().addFile(std::string(kFolder) + "updater.sb",
                         sim::BuildSbFile({.size = 96 * 1024, .seed = 11}));
  world->files().addFile(std::string(kFolder) + "lba_nand_bootlet.sb",
                         sim::BuildSbFile({.size = 12 * 1024, .seed = 13}));
  sim::PlayerConfig config;
  config.serial = kSerial;
  config.initialMode = mode;
  sim::Player& player = world->addPlayer(config);
  player.drives = sim::FactoryDrives(sim::BuildSbFile({.size = 64 * 1024}), {1, 1, 0}, {1, 1, 0});
  for (sim::SimDrive& drive : player.drives) {
    if (drive.tag != 0x50 && drive.tag != 0x60 && drive.tag != 0x70) continue;
    drive.sizeBytes = imageBytes + imageBytes / 4;
    drive.media = sim::SparseMedia(drive.sizeBytes);
    drive.media.write(0, sim::BuildSbFile({.size = 64 * 1024}));
  }
  return world;
}

}  // namespace kx7::bench
