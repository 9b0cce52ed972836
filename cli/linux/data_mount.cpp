#include "cli/linux/data_mount.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/mount_table.h"

extern char** environ;

namespace kx7::cli {

namespace {

// Where the node is mounted now, and whether writable; "" when it is not.
std::string MountedAt(const std::string& node, const std::string& mountInfo) {
  struct stat st {};
  if (stat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
  for (const auto& entry : linux_backend::ReadMountInfo(mountInfo))
    if (entry.device == st.st_rdev) return entry.mountPoint;
  return "";
}

// "Mounted /dev/sdb1 at /media/user/PLAYER" (the wording of udisksctl).
std::string MountPointFromUdisks(const std::string& output) {
  const std::size_t at = output.find(" at ");
  if (at == std::string::npos) return "";
  std::string path = output.substr(at + 4);
  while (!path.empty() && (path.back() == '\n' || path.back() == '.' || path.back() == ' '))
    path.pop_back();
  return path;
}

}  // namespace

int RunCapturing(const std::vector<std::string>& argv, std::string& output) {
  output.clear();
  if (argv.empty()) return -1;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return -1;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::unique_ptr<DataMount> DataMount::Open(const std::string& node, bool writable,
                                           const std::string& mountInfo, std::string& why) {
  if (const std::string at = MountedAt(node, mountInfo); !at.empty()) {
    if (writable && access(at.c_str(), W_OK) != 0) {
      why = node + " is mounted at " + at + " without the right to write there";
      return nullptr;
    }
    return std::unique_ptr<DataMount>(new DataMount(Kind::Existing, node, at));
  }
  if (geteuid() == 0) {
    char folder[] = "/tmp/kx7fw-files-XXXXXX";
    if (!mkdtemp(folder)) {
      why = std::string("cannot make a folder to mount ") + node + " on: " + std::strerror(errno);
      return nullptr;
    }
    const unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC | (writable ? 0 : MS_RDONLY);
    if (mount(node.c_str(), folder, "vfat", flags, nullptr) != 0) {
      why = "cannot mount " + node + ": " + std::strerror(errno);
      rmdir(folder);
      return nullptr;
    }
    return std::unique_ptr<DataMount>(new DataMount(Kind::Own, node, folder));
  }
  if (!HaveUdisksctl()) {
    why =
        "the player's files can be read only as root or through udisks2 (udisksctl), and "
        "neither is at hand";
    return nullptr;
  }
  std::vector<std::string> argv = {"udisksctl", "mount", "--no-user-interaction", "-b", node};
  if (!writable) argv.insert(argv.end(), {"-o", "ro"});
  std::string said;
  const int status = RunCapturing(argv, said);
  const std::string at = MountPointFromUdisks(said);
  if (status != 0 || at.empty()) {
    why = "udisksctl could not mount " + node;
    return nullptr;
  }
  return std::unique_ptr<DataMount>(new DataMount(Kind::Udisks, node, at));
}

bool DataMount::Close() {
  if (!open_) return true;
  open_ = false;
  switch (kind_) {
    case Kind::Existing:
      sync();
      return true;
    case Kind::Own: {
      const bool down = umount2(path_.c_str(), 0) == 0;
      if (down) rmdir(path_.c_str());
      return down;
    }
    case Kind::Udisks: {
      std::string said;
      return RunCapturing({"udisksctl", "unmount", "--no-user-interaction", "-b", node_}, said) ==
             0;
    }
  }
  return false;
}

DataMount::~DataMount() {
  Close();
}

}  // namespace kx7::cli
