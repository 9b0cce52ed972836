// Where the Linux backend keeps the user's state (the settings backups among
// it): a root process run for a user through sudo or pkexec uses that user's
// folder, not root's.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/linux/state_directory.h"

namespace kx7::linux_backend {
namespace {

// Sets (or, with nullopt, removes) environment variables for one scope.
class Environment {
 public:
  void set(const char* name, std::optional<std::string> value) {
    const char* old = std::getenv(name);
    saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~Environment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        unsetenv(it->first.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(StateDirectoryTest, RootWorkingForAUserTakesThatUsersFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "only a root process runs for another user";
  const passwd* someone = getpwnam("nobody");
  if (!someone || !someone->pw_dir || someone->pw_dir[0] != '/')
    GTEST_SKIP() << "no user 'nobody' with a home in the password database";
  const std::string theirs = std::string(someone->pw_dir) + "/.local/state/kx7fw";
  const std::string uid = std::to_string(someone->pw_uid);

  struct Case {
    std::optional<std::string> sudoUser, pkexecUid;
    std::string expected;
  };
  const Case cases[] = {
      {"nobody", std::nullopt, theirs},
      {std::nullopt, uid, theirs},
      {"nobody", "0", theirs},                                  // sudo first
      {"root", std::nullopt, "/root-home/.local/state/kx7fw"},  // root for root: its own
      {"no-such-user-kx7", std::nullopt, "/root-home/.local/state/kx7fw"},
      {std::nullopt, "12x", "/root-home/.local/state/kx7fw"},
      {std::nullopt, std::nullopt, "/root-home/.local/state/kx7fw"},
  };
  for (const Case& c : cases) {
    Environment environment;
    environment.set("HOME", "/root-home");
    environment.set("XDG_STATE_HOME", std::nullopt);
    environment.set("SUDO_USER", c.sudoUser);
    environment.set("PKEXEC_UID", c.pkexecUid);
    EXPECT_EQ(StateDirectory({}), c.expected)
        << c.sudoUser.value_or("-") << " " << c.pkexecUid.value_or("-");
  }
  // A configured folder is taken as it is.
  LinuxConfig config;
  config.stateDirectory = "/configured";
  Environment environment;
  environment.set("SUDO_USER", "nobody");
  EXPECT_EQ(StateDirectory(config), "/configured");
}

}  // namespace
}  // namespace kx7::linux_backend
