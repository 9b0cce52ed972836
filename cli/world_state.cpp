#include "cli/world_state.h"

#include <algorithm>

#include "cli/players.h"
#include "cli/sha256.h"
#include "firmware/fw_component.h"

namespace kx7::cli {

namespace {

std::vector<std::uint8_t> ReadWhole(platform::FileSystem& files, const std::string& path) {
  const auto file = files.openForReading(path, platform::OpenMode::Binary);
  if (!file) return {};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file->size().value_or(0)));
  bytes.resize(file->readAt(0, bytes));
  return bytes;
}

// What a system drive holds: `image` at its start and erased flash after
// it; erased flash only; or anything else.
std::string Content(const sim::SimDrive& drive, const std::vector<std::uint8_t>& image,
                    const std::string& imageName) {
  constexpr std::size_t kChunk = 1 << 16;
  bool erased = true;
  bool holdsImage = !image.empty() && image.size() <= drive.sizeBytes;
  std::vector<std::uint8_t> chunk(kChunk);
  for (std::uint64_t offset = 0; offset < drive.sizeBytes && (erased || holdsImage);
       offset += kChunk) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, drive.sizeBytes - offset));
    drive.media.read(offset, {chunk.data(), n});
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t at = offset + i;
      const std::uint8_t expected = at < image.size() ? image[at] : sim::SparseMedia::kErased;
      if (chunk[i] != sim::SparseMedia::kErased) erased = false;
      if (chunk[i] != expected) holdsImage = false;
    }
  }
  if (holdsImage) return imageName;
  return erased ? "erased" : "other";
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  Sha256 hash;
  hash.Add(bytes);
  return hash.FinishHex();
}

}  // namespace

nlohmann::json WorldState(sim::World& world, platform::FileSystem& files,
                          const std::string& firmwareFolder) {
  const std::vector<std::uint8_t> firmware = ReadWhole(files, firmwareFolder + kFirmwareFileName);
  const std::vector<std::uint8_t> bootlet = ReadWhole(files, firmwareFolder + kBootletFileName);
  const auto guard = world.lock();
  nlohmann::json state;
  state["virtualTimeMs"] = world.clock().now();
  nlohmann::json players = nlohmann::json::array();
  for (std::size_t i = 0; i < world.playerCount(); ++i) {
    sim::Player& p = world.player(i);
    nlohmann::json player;
    player["serial"] = p.config.serial;
    player["mode"] = sim::ToString(p.mode);
    player["letter"] =
        p.letter ? nlohmann::json(std::string(1, p.letter)) : nlohmann::json(nullptr);
    nlohmann::json drives = nlohmann::json::array();
    for (const sim::SimDrive& d : p.drives) {
      nlohmann::json drive{{"tag", d.tag},
                           {"number", d.number},
                           {"type", d.type},
                           {"size", d.sizeBytes},
                           {"version", VersionText(d.productVersion)}};
      if (d.tag == 0x50 || d.tag == 0x60 || d.tag == 0x70)
        drive["content"] = Content(d, firmware, kFirmwareFileName);
      else if (d.tag == 0xA0)
        drive["content"] = Content(d, bootlet, kBootletFileName);
      drives.push_back(drive);
    }
    player["drives"] = drives;
    nlohmann::json rootFiles = nlohmann::json::object();
    for (const auto& [name, bytes] : p.rootFiles) rootFiles[name] = Hex(bytes);
    player["files"] = rootFiles;
    players.push_back(player);
  }
  state["players"] = players;
  return state;
}

}  // namespace kx7::cli
