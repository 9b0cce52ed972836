#pragma once

#include <algorithm>

#include "platform/system.h"
#include "util/progress.h"

namespace kx7 {

// The library's clock: every fixed wait goes through it. With an observer,
// a wait is taken in short slices so that its progress can be shown; with
// none, it is the system's own sleep, untouched.
class ProgressClock final : public platform::Clock {
 public:
  static constexpr std::uint32_t kSliceMs = 250;

  explicit ProgressClock(platform::Clock& system) : system_(system) {}
  void SetObserver(ProgressObserver* observer) { observer_ = observer; }

  void sleep(std::uint32_t milliseconds) override {
    if (!observer_) {
      system_.sleep(milliseconds);
      return;
    }
    std::uint32_t elapsed = 0;
    do {
      const std::uint32_t slice = std::min(kSliceMs, milliseconds - elapsed);
      system_.sleep(slice);
      elapsed += slice;
      observer_->Waited(elapsed, milliseconds);
    } while (elapsed < milliseconds);
  }

 private:
  platform::Clock& system_;
  ProgressObserver* observer_ = nullptr;
};

}  // namespace kx7
