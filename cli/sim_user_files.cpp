#include "cli/sim_user_files.h"

namespace kx7::cli {

namespace {

class SimUserFiles final : public UserFiles {
 public:
  explicit SimUserFiles(sim::World& world) : world_(world) {}

  bool List(char letter, std::vector<UserFile>& files, std::string& why) override {
    const auto guard = world_.lock();
    sim::Player* player = At(letter);
    if (!player || player->fileSystemName().empty()) {
      why = std::string("no file system the host reads at ") + letter + ":";
      return false;
    }
    files.clear();
    for (const auto& [name, bytes] : player->rootFiles) files.push_back({name, bytes.size()});
    return true;
  }

  bool Keep(char letter, const std::string& serial, const std::vector<UserFile>& files,
            std::string& why) override {
    const auto guard = world_.lock();
    sim::Player* player = At(letter);
    if (!player) {
      why = std::string("the player left ") + letter + ":";
      return false;
    }
    const std::string folder = KeptFolder(serial);
    for (const UserFile& file : files) {
      const auto it = player->rootFiles.find(file.name);
      if (it == player->rootFiles.end()) {
        why = file.name + " is gone from the player";
        return false;
      }
      world_.files().addFile(folder + file.name, it->second);
      const auto* copy = world_.files().file(folder + file.name);
      if (!copy || *copy != it->second) {
        why = "the copy of " + file.name + " differs from the player's";
        return false;
      }
    }
    return true;
  }

  std::string KeptFolder(const std::string& serial) override {
    const std::string module = world_.modulePath();
    return std::string(1, module.empty() ? 'C' : module[0]) + ":\\Temp\\kx7fw-files\\" + serial +
           "\\";
  }

  std::vector<UserFile> Kept(const std::string& serial) override {
    const auto guard = world_.lock();
    std::vector<UserFile> out;
    for (const std::string& path : world_.files().filesIn(KeptFolder(serial)))
      out.push_back({path.substr(path.find_last_of('\\') + 1), world_.files().file(path)->size()});
    return out;
  }

  bool PutBack(char letter, const std::string& serial, std::string& why) override {
    const auto guard = world_.lock();
    sim::Player* player = At(letter);
    if (!player || player->fileSystemName().empty()) {
      why = std::string("no file system the host reads at ") + letter + ":";
      return false;
    }
    const std::string folder = KeptFolder(serial);
    for (const UserFile& file : Kept(serial)) {
      const std::vector<std::uint8_t>& kept = *world_.files().file(folder + file.name);
      player->rootFiles[file.name] = kept;
      if (player->rootFiles[file.name] != kept) {
        why = file.name + " on the player differs from its kept copy";
        return false;
      }
    }
    world_.files().removeDirectory(folder);
    return true;
  }

 private:
  sim::Player* At(char letter) {
    for (std::size_t i = 0; i < world_.playerCount(); ++i)
      if (world_.player(i).letter == letter) return &world_.player(i);
    return nullptr;
  }

  sim::World& world_;
};

}  // namespace

std::unique_ptr<UserFiles> MakeSimUserFiles(sim::World& world) {
  return std::make_unique<SimUserFiles>(world);
}

}  // namespace kx7::cli
