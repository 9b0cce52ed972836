#include "cli/linux/linux_user_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cli/linux/data_mount.h"
#include "platform/linux/state_directory.h"
#include "platform/linux/usb_disks.h"

namespace kx7::cli {

namespace {

namespace fs = std::filesystem;

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  if (!x || !y) return false;
  std::vector<char> p(1 << 16);
  std::vector<char> q(1 << 16);
  for (;;) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin()))
      return false;
    if (x.gcount() == 0 || x.eof() || y.eof()) return x.eof() == y.eof();
  }
}

// Every regular file under `root`, by its path relative to it.
std::vector<UserFile> ListTree(const fs::path& root) {
  std::vector<UserFile> files;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    files.push_back({fs::relative(it->path(), root, error).generic_string(),
                     static_cast<std::uint64_t>(it->file_size(error))});
  }
  return files;
}

// Copies and compares; the copy is flushed to its device before it is read
// back.
bool CopyTree(const fs::path& from, const fs::path& to, const std::vector<UserFile>& files,
              std::string& why) {
  std::error_code error;
  for (const UserFile& file : files) {
    const fs::path target = to / file.name;
    fs::create_directories(target.parent_path(), error);
    if (!fs::copy_file(from / file.name, target, fs::copy_options::overwrite_existing, error)) {
      why = "cannot copy " + file.name + ": " + error.message();
      return false;
    }
    const int fd = open(target.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      fsync(fd);
      close(fd);
    }
    if (!SameBytes(from / file.name, target)) {
      why = "the copy of " + file.name + " differs from its original";
      return false;
    }
  }
  return true;
}

class LinuxUserFiles final : public UserFiles {
 public:
  explicit LinuxUserFiles(const linux_backend::LinuxConfig& config) : config_(config) {}

  bool List(char letter, std::vector<UserFile>& files, std::string& why) override {
    const auto mount = Mount(letter, false, why);
    if (!mount) return false;
    files = ListTree(mount->Path());
    if (mount->Close()) return true;
    why = "the player's data partition would not unmount";
    return false;
  }

  bool Keep(char letter, const std::string& serial, const std::vector<UserFile>& files,
            std::string& why) override {
    const auto mount = Mount(letter, false, why);
    if (!mount) return false;
    const bool kept = CopyTree(mount->Path(), KeptFolder(serial), files, why);
    mount->Close();
    return kept;
  }

  std::string KeptFolder(const std::string& serial) override {
    return linux_backend::StateDirectory(config_) + "/kept/" + serial + "/";
  }

  std::vector<UserFile> Kept(const std::string& serial) override {
    std::error_code error;
    if (!fs::is_directory(KeptFolder(serial), error)) return {};
    return ListTree(KeptFolder(serial));
  }

  bool PutBack(char letter, const std::string& serial, std::string& why) override {
    const std::vector<UserFile> files = Kept(serial);
    {
      const auto mount = Mount(letter, true, why);
      if (!mount) return false;
      if (!CopyTree(KeptFolder(serial), mount->Path(), files, why)) return false;
      if (!mount->Close()) {
        why = "the player's data partition would not unmount";
        return false;
      }
    }
    // Read back from the device, not from what the system still holds.
    const auto again = Mount(letter, false, why);
    if (!again) return false;
    for (const UserFile& file : files) {
      if (!SameBytes(fs::path(KeptFolder(serial)) / file.name,
                     fs::path(again->Path()) / file.name)) {
        why = file.name + " on the player differs from its kept copy";
        return false;
      }
    }
    again->Close();
    std::error_code error;
    fs::remove_all(KeptFolder(serial), error);
    return true;
  }

 private:
  std::unique_ptr<DataMount> Mount(char letter, bool writable, std::string& why) {
    const auto disks = linux_backend::ListUsbDisks(config_.extraDisks);
    const linux_backend::UsbDisk* disk = linux_backend::DiskAtLetter(disks, letter);
    if (!disk) {
      why = std::string("no disk at ") + letter + ":";
      return nullptr;
    }
    const linux_backend::PartitionInfo* volume = linux_backend::VolumePartition(*disk);
    return DataMount::Open(volume ? volume->node : disk->blockNode, writable, config_.mountInfoPath,
                           why);
  }

  linux_backend::LinuxConfig config_;
};

}  // namespace

std::unique_ptr<UserFiles> MakeLinuxUserFiles(const linux_backend::LinuxConfig& config) {
  return std::make_unique<LinuxUserFiles>(config);
}

}  // namespace kx7::cli
