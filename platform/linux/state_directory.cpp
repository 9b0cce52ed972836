#include "platform/linux/state_directory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kx7::linux_backend {

namespace {
std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}
}  // namespace

std::string StateDirectory(const LinuxConfig& config) {
  if (!config.stateDirectory.empty()) return config.stateDirectory;
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

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace kx7::linux_backend
