#include "tools/usb-player/control_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace kx7::usbplayer {

namespace {

std::string TripleText(const sim::Triple& t) {
  return std::to_string(t[0]) + "." + std::to_string(t[1]) + "." + std::to_string(t[2]);
}

std::optional<sim::PlayerMode> ModeNamed(const std::string& name) {
  for (sim::PlayerMode mode :
       {sim::PlayerMode::Normal, sim::PlayerMode::RomRecovery, sim::PlayerMode::Updater,
        sim::PlayerMode::Restarting, sim::PlayerMode::Unplugged})
    if (name == sim::ToString(mode)) return mode;
  return std::nullopt;
}

bool Number(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::stoull(text);
  return true;
}

}  // namespace

ControlChannel::~ControlChannel() {
  for (const Client& c : clients_) close(c.fd);
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(path_.c_str());
  }
}

bool ControlChannel::listen(const std::string& path, std::string& error) {
  path_ = path;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    error = path + ": socket path too long";
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0 ||
      bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 8) != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::vector<RedirPort::Poll> ControlChannel::pollSet() const {
  std::vector<RedirPort::Poll> set = {{listenFd_, POLLIN}};
  for (const Client& c : clients_) set.push_back({c.fd, POLLIN});
  return set;
}

void ControlChannel::handle(int fd, short revents) {
  if (fd == listenFd_) {
    const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) clients_.push_back({client, {}});
    return;
  }
  auto it =
      std::find_if(clients_.begin(), clients_.end(), [fd](const Client& c) { return c.fd == fd; });
  if (it == clients_.end() || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) {
    drop(fd);
    return;
  }
  it->input.append(buffer, static_cast<std::size_t>(n));
  for (std::size_t end; (end = it->input.find('\n')) != std::string::npos;) {
    std::string line = it->input.substr(0, end);
    it->input.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string answer = execute(fd, line);
    if (!answer.empty()) reply(fd, answer);
    it = std::find_if(clients_.begin(), clients_.end(),
                      [fd](const Client& c) { return c.fd == fd; });
    if (it == clients_.end()) return;
  }
}

void ControlChannel::reply(int fd, const std::string& line) {
  const std::string text = line + "\n";
  // Answers are short; a client that does not read them is dropped.
  if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
    drop(fd);
}

void ControlChannel::drop(int fd) {
  close(fd);
  std::erase_if(clients_, [fd](const Client& c) { return c.fd == fd; });
  std::erase_if(waiters_, [fd](const Waiter& w) { return w.fd == fd; });
}

std::string ControlChannel::execute(int client, const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty()) return "error empty command";
  const std::string& command = words[0];
  if (command == "players") return "ok " + std::to_string(ports_.size());
  if (command == "quit") {
    quit_ = true;
    return "ok";
  }
  std::uint64_t index = 0;
  if (words.size() < 2 || !Number(words[1], index) || index >= ports_.size())
    return "error no such player (give its index, from 0)";
  RedirPort& port = *ports_[index];
  if (command == "state" && words.size() == 2) return "ok " + state(index);
  if (command == "drives" && words.size() == 2) return "ok " + drives(index);
  if (command == "unplug" && words.size() == 2) {
    port.leave(sim::Leaving::Unplugged);
    return "ok";
  }
  if (command == "plug" && (words.size() == 2 || (words.size() == 3 && words[2] == "recovery"))) {
    port.plugIn(words.size() == 3);
    return "ok";
  }
  if (command == "wait" && words.size() == 4) {
    const auto mode = ModeNamed(words[2]);
    std::uint64_t timeoutMs = 0;
    if (!mode || !Number(words[3], timeoutMs)) return "error usage: wait PLAYER MODE TIMEOUT_MS";
    Waiter waiter{client, index, *mode, Clock::now() + std::chrono::milliseconds(timeoutMs)};
    if (reached(waiter)) return "ok " + state(index);
    waiters_.push_back(waiter);
    return "";
  }
  if (command == "export" && words.size() == 3) {
    const sim::SimDrive* data = port.player().dataDrive();
    if (!data || !data->media.exportTo(words[2], 0, data->sizeBytes))
      return "error the data drive could not be written to " + words[2];
    return "ok " + std::to_string(data->sizeBytes);
  }
  if (command == "fault" && words.size() >= 3) {
    DiskFaults& faults = port.scsi().faults;
    std::uint64_t a = 0, b = 0;
    if (words[2] == "clear" && words.size() == 3) {
      faults = {};
      port.dropAfterCommands(0);
      return "ok";
    }
    if ((words[2] == "write-error" || words[2] == "read-error") && words.size() == 5 &&
        Number(words[3], a) && Number(words[4], b)) {
      if (words[2] == "write-error")
        faults.writeErrorFirst = a, faults.writeErrorCount = b;
      else
        faults.readErrorFirst = a, faults.readErrorCount = b;
      return "ok";
    }
    if (words[2] == "silent-medium-changes" && words.size() == 3) {
      faults.silentMediumChanges = true;
      return "ok";
    }
    if (words[2] == "drop-after" && words.size() == 4 && Number(words[3], a) && a > 0) {
      port.dropAfterCommands(a);
      return "ok";
    }
    return "error usage: fault PLAYER (write-error|read-error FIRST COUNT | drop-after N | "
           "silent-medium-changes | clear)";
  }
  return "error unknown command: " + line;
}

std::string ControlChannel::state(std::size_t index) {
  RedirPort& port = *ports_[index];
  const sim::Player& p = port.player();
  const sim::SimDrive* data = p.dataDrive();
  const Sense& sense = port.scsi().currentSense();
  char senseText[16];
  std::snprintf(senseText, sizeof senseText, "%02x/%02x/%02x", sense.key, sense.asc, sense.ascq);
  std::ostringstream out;
  out << "mode=" << sim::ToString(p.mode) << " on-bus=" << port.onBus()
      << " guest=" << port.guestConnected() << " serial=" << p.config.serial
      << " generation=" << p.generation << " firmware=" << TripleText(p.firmwareVersion())
      << " bootable=" << p.hasBootableFirmware() << " data-bytes=" << (data ? data->sizeBytes : 0)
      << " drives=" << p.drives.size() << " scsi-commands=" << port.scsi().commandsSeen()
      << " command-blocks=" << port.transport().commandBlocks()
      << " phase-errors=" << port.transport().phaseErrors() << " sense=" << senseText
      << " medium-locked=" << port.scsi().mediumLocked()
      << " reset-to-recovery=" << p.resetToRecoveryCount << " chip-resets=" << p.chipResetCount
      << " hid-reports=" << p.hidReportsReceived() << " hid-error=" << p.hidProtocolError()
      << " hid-image-bytes=" << p.receivedImage().size();
  return out.str();
}

std::string ControlChannel::drives(std::size_t index) {
  // tag:number:type:size:sector:product:component for each drive
  std::ostringstream out;
  bool first = true;
  for (const sim::SimDrive& d : ports_[index]->player().drives) {
    char tag[8];
    std::snprintf(tag, sizeof tag, "0x%02X", d.tag);
    out << (first ? "" : " ") << tag << ":" << int(d.number) << ":" << int(d.type) << ":"
        << d.sizeBytes << ":" << d.sectorSize << ":" << TripleText(d.productVersion) << ":"
        << TripleText(d.componentVersion);
    first = false;
  }
  return out.str();
}

bool ControlChannel::reached(const Waiter& w) {
  RedirPort& port = *ports_[w.port];
  if (port.player().mode != w.mode) return false;
  const bool shown = w.mode == sim::PlayerMode::Normal || w.mode == sim::PlayerMode::Updater ||
                     w.mode == sim::PlayerMode::RomRecovery;
  return !shown || port.onBus() || !port.guestConnected();
}

void ControlChannel::runDue(Clock::time_point now) {
  std::vector<std::pair<int, std::string>> answers;
  std::erase_if(waiters_, [&](const Waiter& w) {
    if (reached(w))
      answers.emplace_back(w.fd, "ok " + state(w.port));
    else if (now >= w.deadline)
      answers.emplace_back(w.fd, "error timeout: the player is " +
                                     std::string(sim::ToString(ports_[w.port]->player().mode)));
    else
      return false;
    return true;
  });
  for (const auto& [fd, text] : answers) reply(fd, text);
}

std::optional<Clock::time_point> ControlChannel::nextDue() const {
  std::optional<Clock::time_point> next;
  for (const Waiter& w : waiters_)
    if (!next || w.deadline < *next) next = w.deadline;
  return next;
}

}  // namespace kx7::usbplayer
