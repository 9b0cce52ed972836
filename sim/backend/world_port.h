#pragma once

// The world as the backends reach it: one narrow door, instead of the
// world's insides. sim::World is its one implementation; the backends know
// nothing else of it.

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/system.h"
#include "platform/volume_io.h"
#include "sim/host/faults.h"
#include "sim/host/file_store.h"
#include "sim/host/registry_store.h"
#include "sim/host/transcript.h"
#include "sim/player/player.h"

namespace kx7::sim {

// A drive of the host's own (fixed disk, CD-ROM, card reader ...).
struct HostDrive {
  platform::DriveType type;
  std::string fileSystem;
};

// One HID interface of the host and the player whose ROM it is (-1: none).
struct HidEntry {
  std::string path;
  int player;
};

class WorldPort {
 public:
  // Every backend call holds this for its length.
  virtual std::unique_lock<std::recursive_mutex> lock() const = 0;
  // The transcript, at the current virtual time.
  virtual void record(Event event) = 0;
  virtual Faults& faults() = 0;
  // A wait of the library: the clock moves on and due changes happen.
  virtual void sleep(std::uint32_t milliseconds) = 0;
  // A request held before it is answered (the stall fault).
  virtual void stall(std::uint32_t milliseconds) = 0;

  // The host.
  virtual std::uint32_t logicalDriveMask() const = 0;
  virtual const HostDrive* hostDrive(char letter) const = 0;
  virtual std::vector<HidEntry> hidInterfaces() const = 0;
  // (class name, instance identifier) of every present device.
  virtual std::vector<std::pair<std::string, std::string>> presentDevices() const = 0;
  virtual FileStore& files() = 0;
  virtual RegistryStore& registry() = 0;
  virtual const std::string& modulePath() const = 0;
  virtual platform::OsVersion osVersion() const = 0;

  // The players.
  virtual std::size_t playerCount() const = 0;
  virtual Player& player(std::size_t index) = 0;
  // The player mounted at `letter`, or -1.
  virtual int playerAtLetter(char letter) const = 0;
  // The player leaves the bus (a command's effect, a finished download) and
  // comes back as it says, with the host's traces of both.
  virtual void playerLeaves(std::size_t index, Leaving why) = 0;

 protected:
  ~WorldPort() = default;
};

}  // namespace kx7::sim
