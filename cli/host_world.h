#pragma once

// The world the tool works in: the machine's own players through the
// build's real backend, or a simulated world - the built-in one or one
// described in a scenario file.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "sim/world.h"

namespace kx7::cli {

struct WorldOptions {
  // Set: a simulated world; "" the built-in one, else a scenario file.
  std::optional<std::string> simulation;
  bool realTime = false;  // the simulated waits also take real time
};

class HostWorld {
 public:
  // Null, with `error` set, when the world cannot be had.
  static std::unique_ptr<HostWorld> Open(const WorldOptions& options, std::string& error);
  ~HostWorld();

  platform::Services Services();
  // What the tool runs on, for the first line of its report.
  const std::string& Description() const { return description_; }
  bool Simulated() const { return sim_ != nullptr; }
  sim::World* Simulation() { return sim_.get(); }
  // Seconds since the world was opened: virtual on a simulated world.
  double Seconds() const;
  // Lets `milliseconds` pass, as a host application waiting for a player.
  void Wait(std::uint32_t milliseconds);
  // On a simulated world: the first player in normal mode is plugged in
  // again with its recovery button held, as a person would do. False when
  // there is none, and always on real players.
  bool HoldRecoveryButton();

  // What the world suggests when the command line leaves them out.
  const std::string& DefaultFolder() const { return defaultFolder_; }
  const std::string& DefaultSerial() const { return defaultSerial_; }

  // The simulated world's transcript as JSON Lines into `path`.
  bool WriteTrace(const std::string& path, std::string& error) const;

 private:
  HostWorld() = default;

  std::unique_ptr<sim::World> sim_;
  std::string description_;
  std::string defaultFolder_;
  std::string defaultSerial_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace kx7::cli
