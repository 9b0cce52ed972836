#pragma once

#include <cstdint>
#include <string_view>

namespace kx7::platform {

// SHChangeNotify event and flag values the library sends.
inline constexpr std::uint32_t kShcneMediaInserted = 0x00000020;
inline constexpr std::uint32_t kShcneMediaRemoved = 0x00000040;
inline constexpr std::uint32_t kShcneUpdateDir = 0x00001000;
inline constexpr std::uint32_t kShcneFreeSpace = 0x00040000;
inline constexpr std::uint32_t kShcnfPathA = 0x0001;
inline constexpr std::uint32_t kShcnfFlush = 0x1000;

class Shell {
 public:
  virtual ~Shell() = default;
  // SHChangeNotify with a single-byte path argument.
  virtual void changeNotify(std::uint32_t events, std::uint32_t flags, std::string_view path) = 0;
};

}  // namespace kx7::platform
