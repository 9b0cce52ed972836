#pragma once

#include <cstdint>

namespace kx7::sim {

// Virtual milliseconds since the world was made. Only sleeps move it, so a
// 45-second update runs in no time while the player still sees the waits.
class VirtualClock {
 public:
  std::uint64_t now() const { return now_; }
  void advance(std::uint64_t milliseconds) { now_ += milliseconds; }

 private:
  std::uint64_t now_ = 0;
};

}  // namespace kx7::sim
