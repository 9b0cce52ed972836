// Writes the example firmware folders into the build tree: made-up images
// with valid SB headers, so that nothing binary lives in the sources.
//   OUT/example/    the files of the built-in world (firmware 2.03)
//   OUT/too-large/  firmware 3.00, larger than the factory firmware drives,
//                   so that a player needs the recovery update to take it
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/scenario/default_scenario.h"
#include "sim/scenario/sb_file.h"

namespace {

bool Write(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) std::fprintf(stderr, "make_example_firmware: cannot write %s\n", path.string().c_str());
  return static_cast<bool>(out);
}

bool WriteFolder(const std::filesystem::path& folder, const std::vector<std::uint8_t>& firmware) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return Write(folder / "firmware.sb", firmware) &&
         Write(folder / "updater.sb", kx7::sim::DefaultUpdaterFile()) &&
         Write(folder / "lba_nand_bootlet.sb", kx7::sim::DefaultBootletFile());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_example_firmware OUTPUT_FOLDER\n");
    return 2;
  }
  const std::filesystem::path out = argv[1];
  // The factory firmware drives hold 2 MiB each.
  const auto tooLarge = kx7::sim::BuildSbFile({.productVersion = {3, 0, 0},
                                               .componentVersion = {3, 0, 1},
                                               .size = 2 * 1024 * 1024 + 300 * 1024 + 17,
                                               .seed = 21});
  const bool ok = WriteFolder(out / "example", kx7::sim::DefaultFirmwareFile()) &&
                  WriteFolder(out / "too-large", tooLarge);
  return ok ? 0 : 1;
}
