#pragma once

// The host side's hold on the simulated players while a guest uses them: a
// UNIX socket taking one command per line and answering one line, "ok ..."
// or "error <reason>". The commands are listed in docs/usb-player.md.

#include <chrono>
#include <string>
#include <vector>

#include "tools/usb-player/redir_port.h"

namespace kx7::usbplayer {

class ControlChannel {
 public:
  explicit ControlChannel(std::vector<RedirPort*> ports) : ports_(std::move(ports)) {}
  ~ControlChannel();
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  bool listen(const std::string& path, std::string& error);
  std::vector<RedirPort::Poll> pollSet() const;
  void handle(int fd, short revents);
  // Answers waits whose condition came true or whose time ran out.
  void runDue(Clock::time_point now);
  std::optional<Clock::time_point> nextDue() const;
  bool quitRequested() const { return quit_; }

  // One command line; the answer without its newline, or empty when the
  // answer comes later (a wait).
  std::string execute(int client, const std::string& line);

 private:
  struct Client {
    int fd;
    std::string input;
  };
  struct Waiter {
    int fd;
    std::size_t port;
    sim::PlayerMode mode;
    Clock::time_point deadline;
  };
  std::string state(std::size_t index);
  std::string drives(std::size_t index);
  bool reached(const Waiter& waiter);
  void reply(int fd, const std::string& line);
  void drop(int fd);

  std::vector<RedirPort*> ports_;
  std::string path_;
  int listenFd_ = -1;
  std::vector<Client> clients_;
  std::vector<Waiter> waiters_;
  bool quit_ = false;
};

}  // namespace kx7::usbplayer
