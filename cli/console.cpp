#include "cli/console.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace kx7::cli::console {

namespace {

constexpr int kDefaultColumns = 80;
constexpr int kMinColumns = 20;

std::atomic<bool> g_outLost{false};
std::atomic<bool> g_errLost{false};

// The whole text, or false once the stream refused it.
bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

void Start() {
  signal(SIGPIPE, SIG_IGN);
}

void Out(std::string_view text) {
  if (!g_outLost && !WriteAll(STDOUT_FILENO, text)) g_outLost = true;
}

void Err(std::string_view text) {
  if (!g_errLost && !WriteAll(STDERR_FILENO, text)) g_errLost = true;
}

bool OutLost() {
  return g_outLost;
}

bool OutGone() {
  if (g_outLost) return true;
  pollfd out{STDOUT_FILENO, 0, 0};
  return poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

bool OutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

bool InIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

int Columns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col < kMinColumns ? kMinColumns : size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const int value = std::atoi(columns);
    if (value > 0) return value < kMinColumns ? kMinColumns : value;
  }
  return kDefaultColumns;
}

std::string Fit(std::string_view text, int columns) {
  const int room = columns - 1;
  int cells = 0;
  std::size_t end = 0;
  while (end < text.size()) {
    // A UTF-8 sequence is its lead byte and the continuation bytes after it.
    std::size_t next = end + 1;
    while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
    if (cells == room) break;
    ++cells;
    end = next;
  }
  return std::string(text.substr(0, end));
}

std::string Fold(const std::string& text, int columns, std::size_t indent) {
  const std::size_t room = static_cast<std::size_t>(std::max(columns - 1, kMinColumns));
  if (text.size() <= room) return text + "\n";
  std::string out;
  std::string rest = text;
  std::size_t lead = 0;
  while (lead + rest.size() > room) {
    const std::size_t fits = room - lead;
    std::size_t cut = rest.rfind(' ', fits);
    if (cut == std::string::npos || cut == 0) cut = fits;
    out += std::string(lead, ' ') + rest.substr(0, cut) + "\n";
    rest = rest.substr(cut);
    rest.erase(0, rest.find_first_not_of(' '));
    lead = std::min<std::size_t>(indent, room / 2);
  }
  return out + std::string(lead, ' ') + rest + "\n";
}

}  // namespace kx7::cli::console
