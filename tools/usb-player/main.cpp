// kx7fw-usb-player: the simulated players of a scenario file as USB 2.0
// devices on usbredir sockets, for QEMU's usb-redir device, with a control
// socket to unplug, fault and inspect them while a guest runs.

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/scenario/scenario_file.h"
#include "sim/world.h"
#include "tools/usb-player/control_channel.h"
#include "tools/usb-player/factory_volume.h"
#include "tools/usb-player/redir_port.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void OnSignal(int) {
  stopRequested = 1;
}

const char kUsage[] =
    "usage: kx7fw-usb-player --scenario FILE [--socket-dir DIR] [--control PATH]\n"
    "                        [--delay-scale FACTOR]\n"
    "Each player of the scenario listens on DIR/player-N.sock (N from 0) for QEMU:\n"
    "  -chardev socket,id=p0,path=DIR/player-0.sock -device usb-redir,chardev=p0,bus=ehci.0\n"
    "The control socket (default DIR/control.sock) takes the commands listed in\n"
    "docs/usb-player.md. FACTOR scales the players' restart delays (default 1).\n";

}  // namespace

int main(int argc, char** argv) {
  std::string scenario, socketDir = ".", controlPath;
  double delayScale = 1.0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--scenario" && hasValue)
      scenario = argv[++i];
    else if (arg == "--socket-dir" && hasValue)
      socketDir = argv[++i];
    else if (arg == "--control" && hasValue)
      controlPath = argv[++i];
    else if (arg == "--delay-scale" && hasValue)
      delayScale = std::atof(argv[++i]);
    else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (scenario.empty() || delayScale < 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (controlPath.empty()) controlPath = socketDir + "/control.sock";

  kx7::sim::World world;
  kx7::sim::ScenarioInfo info;
  std::string error;
  if (!kx7::sim::LoadScenarioFile(scenario, world, info, error)) {
    std::fprintf(stderr, "kx7fw-usb-player: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::unique_ptr<kx7::usbplayer::RedirPort>> ports;
  std::vector<kx7::usbplayer::RedirPort*> portList;
  for (std::size_t i = 0; i < world.playerCount(); ++i) {
    kx7::sim::Player& player = world.player(i);
    if (!kx7::usbplayer::LayFactoryVolume(player, error))
      std::fprintf(stderr, "kx7fw-usb-player: player %s: %s; its disk starts empty\n",
                   player.config.serial.c_str(), error.c_str());
    ports.push_back(std::make_unique<kx7::usbplayer::RedirPort>(
        player, socketDir + "/player-" + std::to_string(i) + ".sock", delayScale));
    if (!ports.back()->listen(error)) {
      std::fprintf(stderr, "kx7fw-usb-player: %s\n", error.c_str());
      return 1;
    }
    portList.push_back(ports.back().get());
  }
  kx7::usbplayer::ControlChannel control(portList);
  if (!control.listen(controlPath, error)) {
    std::fprintf(stderr, "kx7fw-usb-player: %s\n", error.c_str());
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  for (const auto& port : ports) std::printf("player %s\n", port->socketPath().c_str());
  std::printf("control %s\nready\n", controlPath.c_str());
  std::fflush(stdout);

  using kx7::usbplayer::Clock;
  while (!stopRequested && !control.quitRequested()) {
    std::vector<pollfd> fds;
    std::vector<kx7::usbplayer::RedirPort*> owners;
    for (const auto& port : ports)
      for (const auto& p : port->pollSet()) {
        fds.push_back({p.fd, p.events, 0});
        owners.push_back(port.get());
      }
    for (const auto& p : control.pollSet()) {
      fds.push_back({p.fd, p.events, 0});
      owners.push_back(nullptr);
    }
    std::optional<Clock::time_point> due = control.nextDue();
    for (const auto& port : ports)
      if (const auto next = port->nextDue(); next && (!due || *next < *due)) due = next;
    int timeout = -1;
    if (due) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 60000));
    }
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      if (owners[i])
        owners[i]->handle(fds[i].fd, fds[i].revents);
      else
        control.handle(fds[i].fd, fds[i].revents);
    }
    const auto now = Clock::now();
    for (const auto& port : ports) port->runDue(now);
    control.runDue(now);
  }
  return 0;
}
