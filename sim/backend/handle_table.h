#pragma once

// The handles the simulated volumes and HID devices hand out, in one
// numbering, and what each reaches.

#include <cstdint>
#include <map>
#include <string>

#include "platform/handle.h"
#include "sim/backend/world_port.h"

namespace kx7::sim {

enum class TargetKind { PlayerVolume, PlayerDisk, HidDevice, HostVolume, HostDisk, OtherHid };

struct Target {
  TargetKind kind;
  std::string path;
  int player = -1;
  // The player's generation at the open: a handle reaches the player only
  // until it leaves the bus.
  std::uint32_t generation = 0;
  char letter = 0;
  bool locked = false;
};

class HandleTable {
 public:
  platform::Handle open(Target target) {
    const std::uintptr_t value = next_;
    next_ += 4;
    open_.emplace(value, std::move(target));
    return platform::Handle::fromValue(value);
  }
  Target* find(platform::Handle handle) {
    const auto it = open_.find(handle.value());
    return it == open_.end() ? nullptr : &it->second;
  }
  void close(platform::Handle handle) { open_.erase(handle.value()); }
  std::size_t size() const { return open_.size(); }

 private:
  std::map<std::uintptr_t, Target> open_;
  std::uintptr_t next_ = 0x100;
};

// The target's player if the handle still reaches it.
inline Player* LivePlayer(WorldPort& world, const Target& target) {
  if (target.player < 0) return nullptr;
  Player& p = world.player(static_cast<std::size_t>(target.player));
  return p.generation == target.generation ? &p : nullptr;
}

// Closes a handle, and records the close in the transcript with the path
// it reached (none for a handle that was never open).
inline void CloseRecorded(WorldPort& world, HandleTable& handles, platform::Handle handle) {
  const Target* t = handles.find(handle);
  world.record(Event{.kind = EventKind::Close,
                     .target = t ? t->path : std::string(),
                     .value = handle.value(),
                     .ok = t != nullptr});
  handles.close(handle);
}

}  // namespace kx7::sim
