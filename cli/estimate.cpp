#include "cli/estimate.h"

#include <cmath>

namespace kx7::cli {

namespace {

// The fixed waits of the two procedures.
constexpr double kNormalWaits = 45;
constexpr double kRecoveryWaitsBeforeRewrite = 5 + 10 + 5 + 2;
constexpr double kRecoveryWaitsAfterReset = 7 + 5;
// Nominal paces of a player: the ROM takes HID reports slowly, flash writes
// are slower than reads.
constexpr double kHidBytesPerSecond = 100.0 * 1024;
constexpr double kWriteBytesPerSecond = 1024.0 * 1024;
constexpr double kReadBytesPerSecond = 4.0 * 1024 * 1024;
// Erasing, re-allocating and formatting, whatever the sizes.
constexpr double kMediaWorkSeconds = 4;
constexpr double kCommandsSeconds = 1;

double Firmware(std::uint64_t bytes) {
  // Three copies written and read back.
  return 3 * (static_cast<double>(bytes) / kWriteBytesPerSecond +
              static_cast<double>(bytes) / kReadBytesPerSecond);
}

}  // namespace

Estimate NormalUpdateEstimate(std::uint64_t firmwareBytes, std::uint64_t updaterBytes) {
  Estimate e;
  e.rewrite = Firmware(firmwareBytes) + kCommandsSeconds;
  e.total = kNormalWaits + static_cast<double>(updaterBytes) / kHidBytesPerSecond + e.rewrite;
  return e;
}

Estimate RecoveryEstimate(std::uint64_t firmwareBytes, std::uint64_t updaterBytes,
                          std::uint64_t bootletBytes) {
  Estimate e;
  e.rewrite = Firmware(firmwareBytes) + static_cast<double>(bootletBytes) / kWriteBytesPerSecond +
              kMediaWorkSeconds + kCommandsSeconds;
  e.total = kRecoveryWaitsBeforeRewrite + static_cast<double>(updaterBytes) / kHidBytesPerSecond +
            e.rewrite + kRecoveryWaitsAfterReset;
  return e;
}

double FilesBackSeconds(std::uint64_t bytes) {
  return kRecoveryWaitsAfterReset + 2 * static_cast<double>(bytes) / kWriteBytesPerSecond;
}

std::string About(double seconds) {
  const long s = std::max(1L, std::lround(seconds));
  if (s < 90) return "about " + std::to_string(s) + " s";
  return "about " + std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
}

}  // namespace kx7::cli
