#include <algorithm>
#include <cstring>

#include "sim/backend/backends.h"
#include "sim/host/path_rules.h"
#include "sim/host/real_files.h"
#include "sim/host/text.h"

namespace kx7::sim {

namespace {

// Where a path lands: a file in the root of a mounted player, a file of the
// real machine (read only), or the host's own store. Players hold files in their root only, and
// only while their data drive holds a file system the host mounts.
struct Location {
  Player* player = nullptr;
  std::string name;  // upper-case file name on the player; empty for its root
  bool valid = true;
};

Location Resolve(WorldPort& world, std::string_view path) {
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
  const auto guard = world_.lock();
  return world_.modulePath();
}

bool SimFileSystem::createDirectory(std::string_view asked) {
  const auto guard = world_.lock();
  const std::string path = TrimmedPath(asked);
  const Location where = Resolve(world_, path);
  bool ok = false;
  // The real machine's folders are there to be read, never changed.
  if (!where.player && !IsRealPath(asked) && asked.size() <= kMaxDirectoryPathChars &&
      IsNameablePath(path)) {
    const std::string parent = ParentPath(path);
    const char letter = path.empty() ? 0 : UpperLetter(path[0]);
    ok = world_.hostDrive(letter) && !world_.files().hasDirectory(path) &&
         !world_.files().hasFile(path) && world_.files().hasDirectory(parent);
    if (ok) world_.files().addDirectory(path);
  }
  world_.record(Event{.kind = EventKind::Directory, .target = std::string(asked), .ok = ok});
  return ok;
}

bool SimFileSystem::pathExists(std::string_view asked) {
  const auto guard = world_.lock();
  if (IsRealPath(asked)) return RealPathExists(asked);
  const std::string path = TrimmedPath(asked);
  if (asked.size() > kMaxPathChars || !IsNameablePath(path)) return false;
  const Location where = Resolve(world_, path);
  if (where.player)
    return where.valid && (where.name.empty() || where.player->rootFiles.count(where.name) != 0);
  return world_.files().hasFile(path) || world_.files().hasDirectory(path);
}

bool SimFileSystem::copyFileNoOverwrite(std::string_view askedFrom, std::string_view askedTo) {
  const auto guard = world_.lock();
  // A real file is read as it is named; a simulated host's names follow
  // Windows' rules.
  const bool realSource = IsRealPath(askedFrom);
  const std::string from = realSource ? std::string(askedFrom) : TrimmedPath(askedFrom);
  const std::string to = TrimmedPath(askedTo);
  const bool nameable =
      (realSource || (askedFrom.size() <= kMaxPathChars && IsNameablePath(from))) &&
      askedTo.size() <= kMaxPathChars && IsNameablePath(to) && !IsRealPath(askedTo);
  const Location source = Resolve(world_, from);
  const Location destination = Resolve(world_, to);
  std::optional<std::vector<std::uint8_t>> bytes;
  if (source.player) {
    const auto it = source.player->rootFiles.find(source.name);
    if (source.valid && it != source.player->rootFiles.end()) bytes = it->second;
  } else if (realSource) {
    if (auto file = OpenRealFile(from, std::nullopt)) {
      bytes.emplace(static_cast<std::size_t>(file->size().value_or(0)));
      bytes->resize(file->readAt(0, *bytes));
    }
  } else if (const auto* file = world_.files().file(from)) {
    bytes = *file;
  }
  bool ok = nameable && bytes.has_value() && !world_.faults().fileCopyFails(to);
  if (ok && destination.player) {
    ok = destination.valid && !destination.name.empty() &&
         !destination.player->rootFiles.count(destination.name);
    if (ok) destination.player->rootFiles[destination.name] = *bytes;
  } else if (ok) {
    // Neither a file nor a folder of that name is replaced.
    ok = !world_.files().hasFile(to) && !world_.files().hasDirectory(to) &&
         world_.files().hasDirectory(ParentPath(to));
    if (ok) world_.files().addFile(to, *bytes);
  }
  world_.record(Event{.kind = EventKind::FileCopy,
                      .target = std::string(askedFrom),
                      .name = std::string(askedTo),
                      .ok = ok});
  return ok;
}

std::unique_ptr<platform::InputFile> SimFileSystem::openForReading(std::string_view asked,
                                                                   platform::OpenMode) {
  const auto guard = world_.lock();
  const std::string text(asked);
  const Faults::FileOpenVerdict verdict = world_.faults().onFileOpen(text);
  if (verdict.fails) return nullptr;
  if (IsRealPath(asked)) return OpenRealFile(asked, world_.faults().shrunkSize(text));
  const std::string path = TrimmedPath(asked);
  if (asked.size() > kMaxPathChars || !IsNameablePath(path)) return nullptr;
  const Location where = Resolve(world_, path);
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  if (where.player) {
    if (!where.valid) return nullptr;
    const auto it = where.player->rootFiles.find(where.name);
    if (it == where.player->rootFiles.end()) return nullptr;
    bytes = std::make_shared<const std::vector<std::uint8_t>>(it->second);
  } else {
    bytes = world_.files().shared(path);
    if (!bytes) return nullptr;
  }
  std::size_t size = bytes->size();
  if (verdict.truncatedTo && *verdict.truncatedTo < size)
    size = static_cast<std::size_t>(*verdict.truncatedTo);
  std::size_t readable = size;
  if (const auto shrunk = world_.faults().shrunkSize(text); shrunk && *shrunk < readable)
    readable = static_cast<std::size_t>(*shrunk);
  return std::make_unique<SimInputFile>(std::move(bytes), readable, size);
}

}  // namespace kx7::sim
