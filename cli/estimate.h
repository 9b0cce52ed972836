#pragma once

// How long the library's procedures take, told before they start: their
// fixed waits, as the library makes them, and the transfers at the pace a
// player keeps (a nominal pace: the real one is only known afterwards).

#include <cstdint>
#include <string>

namespace kx7::cli {

struct Estimate {
  double total = 0;    // seconds, the whole procedure
  double rewrite = 0;  // seconds, from the first erase until the chip reset
};

Estimate NormalUpdateEstimate(std::uint64_t firmwareBytes, std::uint64_t updaterBytes);
Estimate RecoveryEstimate(std::uint64_t firmwareBytes, std::uint64_t updaterBytes,
                          std::uint64_t bootletBytes);
// Putting `bytes` of the user's files back, and the restart before it.
double FilesBackSeconds(std::uint64_t bytes);

// "about 50 s", "about 1 min 10 s".
std::string About(double seconds);

}  // namespace kx7::cli
