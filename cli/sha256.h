#pragma once

// SHA-256 (FIPS 180-4), for the firmware folder's integrity manifest.

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace kx7::cli {

class Sha256 {
 public:
  Sha256();
  void Add(std::span<const std::uint8_t> bytes);
  // The digest of everything added; the object is spent afterwards.
  std::array<std::uint8_t, 32> Finish();
  // The same as 64 lower-case hex digits.
  std::string FinishHex();

 private:
  void Block(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes added
};

}  // namespace kx7::cli
