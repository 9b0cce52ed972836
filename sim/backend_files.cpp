#include <algorithm>
#include <cstring>

#include "sim/backends.h"
#include "sim/text.h"
#include "sim/world.h"

namespace kx7::sim {

namespace {

// Where a path lands: a file in the root of a mounted player, or the host's
// own store. Players hold files in their root only, and only while their
// data drive holds a file system the host mounts.
struct Location {
  Player* player = nullptr;
  std::string name;  // upper-case file name on the player; empty for its root
  bool valid = true;
};

Location Resolve(World& world, std::string_view path) {
  Location where;
  if (path.size() < 3 || path[1] != ':' || (path[2] != '\\' && path[2] != '/')) return where;
  const char letter = UpperLetter(path[0]);
  for (std::size_t i = 0; i < world.playerCount(); ++i) {
    Player& p = world.player(i);
    if (p.letter != letter) continue;
    where.player = &p;
    where.name = NormalPath(path).substr(3);
    where.valid =
        where.name.find_first_of("\\/") == std::string::npos && !p.fileSystemName().empty();
    break;
  }
  return where;
}

class SimInputFile final : public platform::InputFile {
 public:
  // `readable` bytes of `bytes` can be read, although the file says it
  // holds `reportedSize` (a file that shrank).
  SimInputFile(std::shared_ptr<const std::vector<std::uint8_t>> bytes, std::size_t readable,
               std::uint64_t reportedSize)
      : bytes_(std::move(bytes)), readable_(readable), reportedSize_(reportedSize) {}
  std::optional<std::uint64_t> size() override { return reportedSize_; }
  std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    if (offset >= readable_) return 0;
    const std::size_t n = std::min<std::size_t>(out.size(), readable_ - offset);
    std::memcpy(out.data(), bytes_->data() + offset, n);
    return n;
  }

 private:
  std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
  std::size_t readable_;
  std::uint64_t reportedSize_;
};

}  // namespace

std::string SimFileSystem::modulePath() {
  return world_.modulePath_;
}

bool SimFileSystem::createDirectory(std::string_view path) {
  const Location where = Resolve(world_, path);
  bool ok = false;
  if (!where.player) {
    const std::string parent = ParentPath(path);
    const char letter = path.empty() ? 0 : UpperLetter(path[0]);
    ok = world_.hostDrives_.count(letter) && !world_.files_.hasDirectory(path) &&
         !world_.files_.hasFile(path) && world_.files_.hasDirectory(parent);
    if (ok) world_.files_.addDirectory(path);
  }
  world_.transcript_.add(Event{.kind = EventKind::Directory,
                               .time = world_.clock_.now(),
                               .target = std::string(path),
                               .ok = ok});
  return ok;
}

bool SimFileSystem::pathExists(std::string_view path) {
  const Location where = Resolve(world_, path);
  if (where.player)
    return where.valid && (where.name.empty() || where.player->rootFiles.count(where.name) != 0);
  return world_.files_.hasFile(path) || world_.files_.hasDirectory(path);
}

bool SimFileSystem::copyFileNoOverwrite(std::string_view from, std::string_view to) {
  const Location source = Resolve(world_, from);
  const Location destination = Resolve(world_, to);
  std::optional<std::vector<std::uint8_t>> bytes;
  if (source.player) {
    const auto it = source.player->rootFiles.find(source.name);
    if (source.valid && it != source.player->rootFiles.end()) bytes = it->second;
  } else if (const auto* file = world_.files_.file(from)) {
    bytes = *file;
  }
  bool ok = bytes.has_value() && !world_.faults_.fileCopyFails(std::string(to));
  if (ok && destination.player) {
    ok = destination.valid && !destination.name.empty() &&
         !destination.player->rootFiles.count(destination.name);
    if (ok) destination.player->rootFiles[destination.name] = *bytes;
  } else if (ok) {
    ok = !world_.files_.hasFile(to) && world_.files_.hasDirectory(ParentPath(to));
    if (ok) world_.files_.addFile(to, *bytes);
  }
  world_.transcript_.add(Event{.kind = EventKind::FileCopy,
                               .time = world_.clock_.now(),
                               .target = std::string(from),
                               .name = std::string(to),
                               .ok = ok});
  return ok;
}

std::unique_ptr<platform::InputFile> SimFileSystem::openForReading(std::string_view path,
                                                                   platform::OpenMode) {
  const std::string text(path);
  const Faults::FileOpenVerdict verdict = world_.faults_.onFileOpen(text);
  if (verdict.fails) return nullptr;
  const Location where = Resolve(world_, path);
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  if (where.player) {
    if (!where.valid) return nullptr;
    const auto it = where.player->rootFiles.find(where.name);
    if (it == where.player->rootFiles.end()) return nullptr;
    bytes = std::make_shared<const std::vector<std::uint8_t>>(it->second);
  } else {
    bytes = world_.files_.shared(path);
    if (!bytes) return nullptr;
  }
  std::size_t size = bytes->size();
  if (verdict.truncatedTo && *verdict.truncatedTo < size)
    size = static_cast<std::size_t>(*verdict.truncatedTo);
  std::size_t readable = size;
  if (const auto shrunk = world_.faults_.shrunkSize(text); shrunk && *shrunk < readable)
    readable = static_cast<std::size_t>(*shrunk);
  return std::make_unique<SimInputFile>(std::move(bytes), readable, size);
}

}  // namespace kx7::sim
