#include "platform/linux/state_directory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

namespace kx7::linux_backend {

namespace {
std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}
}  // namespace

std::optional<InvokingUser> UserBehindRoot() {
  if (geteuid() != 0) return std::nullopt;
  const passwd* user = nullptr;
  if (const std::string sudo = Environment("SUDO_USER"); !sudo.empty() && sudo != "root")
    user = getpwnam(sudo.c_str());
  else if (const std::string pkexec = Environment("PKEXEC_UID");
           !pkexec.empty() && pkexec.find_first_not_of("0123456789") == std::string::npos)
    user = getpwuid(static_cast<uid_t>(std::strtoul(pkexec.c_str(), nullptr, 10)));
  if (!user || user->pw_uid == 0 || !user->pw_dir || user->pw_dir[0] != '/') return std::nullopt;
  return InvokingUser{user->pw_uid, user->pw_gid, user->pw_dir};
}

std::string StateDirectory(const LinuxConfig& config) {
  if (!config.stateDirectory.empty()) return config.stateDirectory;
  // Run through sudo or pkexec, the update is the user's: the backups they
  // took as themselves are in their own folder. (Root's environment says
  // nothing of theirs, so their XDG_STATE_HOME cannot be known.)
  if (const auto user = UserBehindRoot()) return user->home + "/.local/state/kx7fw";
  // Only an absolute XDG_STATE_HOME counts; a relative one is to be ignored.
  const std::string xdg = Environment("XDG_STATE_HOME");
  if (!xdg.empty() && xdg[0] == '/') return xdg + "/kx7fw";
  std::string home = Environment("HOME");
  if (home.empty()) {
    if (const passwd* user = getpwuid(getuid()); user && user->pw_dir) home = user->pw_dir;
  }
  if (home.empty()) return "";
  return home + "/.local/state/kx7fw";
}

void GiveToInvokingUser(const std::string& path) {
  if (const auto user = UserBehindRoot()) (void)lchown(path.c_str(), user->uid, user->gid);
}

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) == 0)
      GiveToInvokingUser(prefix);
    else if (errno != EEXIST)
      return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace kx7::linux_backend
