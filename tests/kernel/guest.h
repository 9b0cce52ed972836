#pragma once

// The kernel tests' machinery: kx7fw-usb-player holding the simulated
// players, and a QEMU guest running Debian's kernel with the players on its
// EHCI bus. One boot serves many commands; the host inspects and alters the
// players through the player program's control socket meanwhile.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace kx7::kernel_test {

struct CommandResult {
  int exitCode = -1;  // -1: the guest did not answer
  std::string out, err;
  double seconds = 0;
};

// A child process, ended (SIGTERM, then SIGKILL) when this goes.
class Child {
 public:
  Child() = default;
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Starts `argv` with its standard output to `outFd` (or inherited when
  // -1) and its standard error to `errPath`.
  bool start(const std::vector<std::string>& argv, int outFd, const std::string& errPath);
  void stop();
  bool running();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

class UsbPlayer {
 public:
  ~UsbPlayer();
  // Starts the program on `scenario` with its sockets in `directory`.
  bool start(const std::string& program, const std::string& scenario, const std::string& directory,
             double delayScale, std::string& error);
  // One control command; its answer line ("ok ..." or "error ...").
  std::string command(const std::string& line, int timeoutMs = 10000);
  // "state N" as a map of its key=value words; empty when refused.
  std::map<std::string, std::string> state(int index);
  std::string socketPath(int index) const;

 private:
  Child child_;
  std::string directory_;
  int control_ = -1;
};

struct GuestOptions {
  std::string kernel, initrd, directory;
  std::vector<std::string> playerSockets;
  // QEMU's -icount argument, e.g. "shift=auto,sleep=off"; empty: none.
  std::string icount;
  int memoryMb = 512;
};

class Guest {
 public:
  ~Guest();
  // Boots and waits for the guest's command agent.
  bool boot(const GuestOptions& options, std::string& error, int timeoutSeconds = 180);
  // Runs `script` with /bin/sh in the guest, as root or as the unprivileged
  // user "tester".
  CommandResult run(const std::string& script, bool asRoot = true, int timeoutSeconds = 300);
  double bootSeconds() const { return bootSeconds_; }
  std::string consoleLog() const;
  const std::string& kernelRelease() const { return release_; }

 private:
  bool readUntil(const std::string& marker, int timeoutMs);
  Child qemu_;
  GuestOptions options_;
  int agent_ = -1;
  std::string input_;
  unsigned next_ = 1;
  double bootSeconds_ = 0;
  std::string release_;
};

}  // namespace kx7::kernel_test
