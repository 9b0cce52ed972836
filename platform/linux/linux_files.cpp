#include "platform/linux/linux_files.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/linux/disk_mounts.h"
#include "platform/linux/state_directory.h"
#include "util/ascii.h"

namespace kx7::linux_backend {

namespace {

class LinuxInputFile final : public platform::InputFile {
 public:
  explicit LinuxInputFile(int fd) : fd_(fd) {}
  ~LinuxInputFile() override { ::close(fd_); }
  std::optional<std::uint64_t> size() override {
    const off_t end = lseek(fd_, 0, SEEK_END);
    if (end < 0) return std::nullopt;
    return static_cast<std::uint64_t>(end);
  }
  std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n =
          pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }

 private:
  int fd_;
};

// The rest of a Windows path, its separators turned round.
std::string PosixTail(std::string_view tail) {
  std::string out(tail);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

bool IsDriveLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool CopyContents(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(to, buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
}

}  // namespace

std::string LinuxFiles::modulePath() {
  // The file this code was loaded from: libkx7fw.so, or the program it is
  // linked into.
  Dl_info info{};
  static const int anchor = 0;
  if (dladdr(&anchor, &info) != 0 && info.dli_fname && info.dli_fname[0] != '\0') {
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved)) return resolved;
  }
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) return std::string(self, static_cast<std::size_t>(n));
  return "/";
}

std::optional<std::string> LinuxFiles::resolve(std::string_view path,
                                               std::unique_ptr<PrivateMount>* mount) {
  if (path.size() < 2 || path[1] != ':') return std::string(path);
  const std::string_view tail = path.size() > 2 ? path.substr(2) : std::string_view();
  if (!tail.empty() && tail[0] != '\\' && tail[0] != '/') return std::nullopt;

  // The library's Temp folder: <H>:\Temp, H the module path's first character.
  const std::string module = modulePath();
  if (!module.empty() && path[0] == module[0] && !IsDriveLetter(path[0])) {
    constexpr std::string_view kTemp = "\\Temp";
    if (tail.size() < kTemp.size() || !EqualsIgnoreCase(tail.substr(0, kTemp.size()), kTemp) ||
        (tail.size() > kTemp.size() && tail[kTemp.size()] != '\\' && tail[kTemp.size()] != '/'))
      return std::nullopt;
    const std::string state = StateDirectory(config_);
    if (state.empty()) return std::nullopt;
    return state + PosixTail(tail.substr(kTemp.size()));
  }

  if (!IsDriveLetter(path[0])) return std::nullopt;
  const auto disks = ListUsbDisks(config_.extraDisks, &letters_);
  const UsbDisk* disk = DiskAtLetter(disks, path[0]);
  if (!disk) return std::nullopt;
  auto mountPoint = DataMountPoint(*disk, ReadMountInfo(config_.mountInfoPath));
  if (!mountPoint && mount && !disk->usbSyspath.empty()) {
    *mount = PrivateMount::Of(*disk);
    if (*mount) mountPoint = (*mount)->where();
  }
  if (!mountPoint) return std::nullopt;
  const std::string rest = tail.empty() ? std::string(1, '/') : PosixTail(tail);
  std::string where = *mountPoint == "/" ? std::string() : *mountPoint;
  where += rest;
  return where;
}

bool LinuxFiles::createDirectory(std::string_view path) {
  std::unique_ptr<PrivateMount> mount;
  const auto where = resolve(path, &mount);
  if (!where) return false;
  // The state folder itself comes with its parents (~/.local/state may not
  // exist yet); every other folder needs its parent, as on Windows.
  const std::string state = StateDirectory(config_);
  if (*where == state) {
    struct stat info {};
    const bool existed = stat(where->c_str(), &info) == 0;
    return !existed && MakeDirectories(*where);
  }
  if (mkdir(where->c_str(), 0700) != 0) return false;
  if (where->rfind(state + "/", 0) == 0) GiveToInvokingUser(*where);
  return true;
}

bool LinuxFiles::copyFileNoOverwrite(std::string_view from, std::string_view to) {
  std::unique_ptr<PrivateMount> fromMount, toMount;
  const auto source = resolve(from, &fromMount);
  const auto destination = resolve(to, &toMount);
  if (!source || !destination) return false;
  const int in = ::open(source->c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat info {};
  if (fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(in);
    return false;
  }
  const int out = ::open(destination->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    ::close(in);
    return false;
  }
  // The copy reaches the disk before it counts: the player may be reset
  // right after its settings were put back.
  const bool copied = CopyContents(in, out) && fsync(out) == 0;
  ::close(in);
  if (::close(out) != 0 || !copied) {
    unlink(destination->c_str());
    return false;
  }
  if (destination->rfind(StateDirectory(config_) + "/", 0) == 0) GiveToInvokingUser(*destination);
  return true;
}

bool LinuxFiles::pathExists(std::string_view path) {
  std::unique_ptr<PrivateMount> mount;
  const auto where = resolve(path, &mount);
  struct stat info {};
  return where && stat(where->c_str(), &info) == 0;
}

std::unique_ptr<platform::InputFile> LinuxFiles::openForReading(std::string_view path,
                                                                platform::OpenMode) {
  // An open file keeps a private mount (detached when the mount goes) until
  // it is closed.
  std::unique_ptr<PrivateMount> mount;
  const auto where = resolve(path, &mount);
  if (!where) return nullptr;
  const int fd = ::open(where->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<LinuxInputFile>(fd);
}

}  // namespace kx7::linux_backend
