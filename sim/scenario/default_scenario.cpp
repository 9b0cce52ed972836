#include "sim/scenario/default_scenario.h"

#include "sim/scenario/sb_file.h"

namespace kx7::sim {

std::vector<std::uint8_t> DefaultFirmwareFile() {
  return BuildSbFile({.productVersion = {2, 3, 14},
                      .componentVersion = {2, 3, 7},
                      .size = 300 * 1024 + 123,
                      .seed = 7});
}

std::vector<std::uint8_t> DefaultUpdaterFile() {
  return BuildSbFile({.productVersion = {2, 3, 14},
                      .componentVersion = {1, 0, 2},
                      .size = 96 * 1024 + 77,
                      .seed = 11});
}

std::vector<std::uint8_t> DefaultBootletFile() {
  return BuildSbFile({.productVersion = {2, 3, 14},
                      .componentVersion = {1, 0, 0},
                      .size = 12 * 1024 + 5,
                      .seed = 13});
}

std::vector<std::uint8_t> DefaultPlayerFirmwareFile() {
  return BuildSbFile({.productVersion = {1, 1, 0},
                      .componentVersion = {1, 1, 0},
                      .size = 250 * 1024 + 9,
                      .seed = 3});
}

void BuildDefaultScenario(World& world) {
  world.setOs(OsPreset::Windows7);
  world.addHostDrive('D', platform::DriveType::CdRom, "CDFS");
  const std::string folder = DefaultScenario::kFirmwareFolder;
  world.files().addFile(folder + "firmware.sb", DefaultFirmwareFile());
  world.files().addFile(folder + "updater.sb", DefaultUpdaterFile());
  world.files().addFile(folder + "lba_nand_bootlet.sb", DefaultBootletFile());

  PlayerConfig config;
  config.serial = DefaultScenario::kSerial;
  config.letter = DefaultScenario::kLetter;
  Player& player = world.addPlayer(config);
  player.drives = FactoryDrives(DefaultPlayerFirmwareFile(), {1, 1, 0}, {1, 1, 0});
  // Per-unit settings in the root of the data drive; region byte 0x25 (37).
  player.rootFiles["PERSIST.BIN"] = {0x4B, 0x58, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00};
  const std::string diversity = "[Diversity]\r\nRegion=37\r\nLanguage=en\r\n";
  player.rootFiles["DEVDIVERSITY.INI"] = {diversity.begin(), diversity.end()};
}

}  // namespace kx7::sim
