#pragma once

#include <atomic>

namespace kx7 {

// The library's single-operation guard. Taking it is one atomic exchange, so
// of two threads calling at the same moment exactly one gets through; the
// owner clears the flag on every return.
class BusyGuard {
 public:
  explicit BusyGuard(std::atomic<bool>& flag) noexcept
      : flag_(flag), acquired_(!flag.exchange(true, std::memory_order_acq_rel)) {}
  ~BusyGuard() {
    if (acquired_) flag_.store(false, std::memory_order_release);
  }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

  // False when another operation holds the flag.
  bool acquired() const { return acquired_; }

 private:
  std::atomic<bool>& flag_;
  const bool acquired_;
};

}  // namespace kx7
