#include "guest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace kx7::kernel_test {

namespace {

using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const std::string& bytes) {
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (unsigned char c : bytes) {
    bits = bits << 8 | c;
    count += 8;
    while (count >= 6) out += kBase64[(bits >> (count -= 6)) & 63];
  }
  if (count) out += kBase64[(bits << (6 - count)) & 63];
  while (out.size() % 4) out += '=';
  return out;
}

std::string Unbase64(const std::string& text) {
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const char* at = std::strchr(kBase64, c);
    if (c == '\0' || !at) continue;  // line breaks and padding
    bits = bits << 6 | static_cast<std::uint32_t>(at - kBase64);
    count += 6;
    if (count >= 8) out += static_cast<char>((bits >> (count -= 8)) & 0xFF);
  }
  return out;
}

int ConnectUnix(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int ConnectWithin(const std::string& path, int timeoutMs) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int fd = ConnectUnix(path);
    if (fd >= 0 || SteadyClock::now() > end) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool SendAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads from `fd` into `buffer` until it holds `marker` followed by a line
// end, or the time is up.
bool ReadUntil(int fd, std::string& buffer, const std::string& marker, int timeoutMs) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t at = buffer.find(marker);
    if (at != std::string::npos && buffer.find('\n', at + marker.size() - 1) != std::string::npos)
      return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[65536];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace

// --- Child --------------------------------------------------------------------

bool Child::start(const std::vector<std::string>& argv, int outFd, const std::string& errPath) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err >= 0) dup2(err, STDERR_FILENO);
    if (outFd >= 0) dup2(outFd, STDOUT_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  return true;
}

bool Child::running() {
  if (pid_ <= 0) return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void Child::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (!running()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

// --- UsbPlayer ------------------------------------------------------------------

UsbPlayer::~UsbPlayer() {
  if (control_ >= 0) {
    SendAll(control_, "quit\n");
    close(control_);
  }
}

bool UsbPlayer::start(const std::string& program, const std::string& scenario,
                      const std::string& directory, double delayScale, std::string& error) {
  directory_ = directory;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  const bool started = child_.start({program, "--scenario", scenario, "--socket-dir", directory,
                                     "--delay-scale", std::to_string(delayScale)},
                                    pipeFds[1], directory + "/usb-player.log");
  close(pipeFds[1]);
  std::string output;
  const bool ready = started && ReadUntil(pipeFds[0], output, "ready\n", 20000);
  close(pipeFds[0]);
  if (!ready) {
    std::ifstream log(directory + "/usb-player.log");
    error = "kx7fw-usb-player did not start: " +
            std::string(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
    return false;
  }
  control_ = ConnectWithin(directory + "/control.sock", 5000);
  if (control_ < 0) error = "cannot reach the player program's control socket";
  return control_ >= 0;
}

std::string UsbPlayer::command(const std::string& line, int timeoutMs) {
  std::string answer;
  if (control_ < 0 || !SendAll(control_, line + "\n") ||
      !ReadUntil(control_, answer, "\n", timeoutMs))
    return "error no answer";
  return answer.substr(0, answer.find('\n'));
}

std::map<std::string, std::string> UsbPlayer::state(int index) {
  std::map<std::string, std::string> values;
  const std::string answer = command("state " + std::to_string(index));
  if (answer.rfind("ok ", 0) != 0) return values;
  std::istringstream words(answer.substr(3));
  for (std::string word; words >> word;) {
    const std::size_t eq = word.find('=');
    if (eq != std::string::npos) values[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return values;
}

std::string UsbPlayer::socketPath(int index) const {
  return directory_ + "/player-" + std::to_string(index) + ".sock";
}

// --- Guest ----------------------------------------------------------------------

Guest::~Guest() {
  if (agent_ >= 0) close(agent_);
  qemu_.stop();
}

bool Guest::boot(const GuestOptions& options, std::string& error, int timeoutSeconds) {
  options_ = options;
  const std::string agentPath = options.directory + "/agent.sock";
  unlink(agentPath.c_str());
  std::vector<std::string> argv = {"qemu-system-x86_64",
                                   "-nodefaults",
                                   "-display",
                                   "none",
                                   "-machine",
                                   "pc",
                                   "-m",
                                   std::to_string(options.memoryMb),
                                   "-no-reboot",
                                   "-kernel",
                                   options.kernel,
                                   "-initrd",
                                   options.initrd,
                                   "-append",
                                   "console=ttyS0 panic=-1 loglevel=7 usbcore.autosuspend=-1",
                                   "-serial",
                                   "file:" + options.directory + "/console.log",
                                   "-chardev",
                                   "socket,id=agent,path=" + agentPath + ",server=on,wait=off",
                                   "-serial",
                                   "chardev:agent",
                                   "-device",
                                   "usb-ehci,id=ehci"};
  // KVM where the machine offers it, else TCG (optionally with virtual time).
  if (access("/dev/kvm", R_OK | W_OK) == 0) {
    argv.insert(argv.end(), {"-accel", "kvm"});
  } else {
    argv.insert(argv.end(), {"-accel", "tcg"});
    if (!options.icount.empty()) argv.insert(argv.end(), {"-icount", options.icount});
  }
  for (std::size_t i = 0; i < options.playerSockets.size(); ++i) {
    const std::string id = "player" + std::to_string(i);
    argv.insert(argv.end(), {"-chardev", "socket,id=" + id + ",path=" + options.playerSockets[i],
                             "-device", "usb-redir,chardev=" + id + ",bus=ehci.0"});
  }
  const auto start = SteadyClock::now();
  if (!qemu_.start(argv, -1, options.directory + "/qemu.log")) {
    error = "cannot start qemu-system-x86_64";
    return false;
  }
  agent_ = ConnectWithin(agentPath, 10000);
  if (agent_ < 0 || !readUntil("@@ready ", timeoutSeconds * 1000)) {
    error = "the guest did not come up within " + std::to_string(timeoutSeconds) +
            " s; its console:\n" + consoleLog();
    return false;
  }
  const std::size_t at = input_.find("@@ready ") + 8;
  release_ = input_.substr(at, input_.find('\n', at) - at);
  input_.erase(0, input_.find('\n', at) + 1);
  bootSeconds_ = SecondsSince(start);
  return true;
}

bool Guest::readUntil(const std::string& marker, int timeoutMs) {
  return ReadUntil(agent_, input_, marker, timeoutMs);
}

CommandResult Guest::run(const std::string& script, bool asRoot, int timeoutSeconds) {
  CommandResult result;
  if (agent_ < 0) return result;
  const unsigned id = next_++;
  const auto start = SteadyClock::now();
  const std::string tag = std::to_string(id);
  if (!SendAll(agent_, tag + (asRoot ? " root " : " tester ") + std::to_string(timeoutSeconds) +
                           " " + Base64(script) + "\n"))
    return result;
  const std::string exitMarker = "@@exit " + tag + " ";
  if (!readUntil(exitMarker, (timeoutSeconds + 30) * 1000)) return result;
  const std::size_t exitAt = input_.find(exitMarker);
  const std::size_t outAt = input_.find("@@out " + tag + "\n");
  const std::size_t errAt = input_.find("@@err " + tag + "\n");
  const std::size_t end = input_.find('\n', exitAt);
  if (outAt == std::string::npos || errAt == std::string::npos) return result;
  const std::size_t outBody = outAt + tag.size() + 7, errBody = errAt + tag.size() + 7;
  result.out = Unbase64(input_.substr(outBody, errAt - outBody));
  result.err = Unbase64(input_.substr(errBody, exitAt - errBody));
  result.exitCode = std::stoi(input_.substr(exitAt + exitMarker.size(), end - exitAt));
  input_.erase(0, end + 1);
  result.seconds = SecondsSince(start);
  return result;
}

std::string Guest::consoleLog() const {
  std::ifstream log(options_.directory + "/console.log");
  return {std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
}

}  // namespace kx7::kernel_test
