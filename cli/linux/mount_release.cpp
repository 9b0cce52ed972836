#include "cli/linux/mount_release.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace kx7::cli {

using linux_backend::MountedVolume;

std::vector<MountedVolume> ReleaseMounts(const std::vector<MountedVolume>& mounts, bool haveUdisks,
                                         const CommandRunner& run) {
  if (!haveUdisks) return mounts;
  std::vector<MountedVolume> left;
  for (const MountedVolume& mount : mounts) {
    // No password prompt in the middle of an update: policy allows it or not.
    if (run({"udisksctl", "unmount", "--no-user-interaction", "-b", mount.node}) != 0)
      left.push_back(mount);
  }
  return left;
}

std::string StillMountedMessage(const std::vector<MountedVolume>& mounts) {
  if (mounts.empty()) return "";
  std::string text = "The player's volumes are mounted; release them before the update:\n";
  for (const MountedVolume& mount : mounts)
    text += "  umount '" + mount.mountPoint + "'    (" + mount.node + ")\n";
  return text;
}

bool HaveUdisksctl() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && access((dir + "/udisksctl").c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

int RunCommand(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // What the program says is for people: it goes to our standard error,
  // never into the standard output a script reads (--json).
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kx7::cli
