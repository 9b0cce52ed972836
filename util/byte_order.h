#pragma once

// Explicit byte-order access to byte buffers. Every multi-byte field the
// player sees in a CDB, a response or a payload is big-endian; host
// structures and the HID command block are little-endian.

#include <cstdint>

namespace kx7 {

inline void PutBe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

inline void PutBe32(std::uint8_t* p, std::uint32_t v) {
  PutBe16(p, static_cast<std::uint16_t>(v >> 16));
  PutBe16(p + 2, static_cast<std::uint16_t>(v));
}

inline void PutBe64(std::uint8_t* p, std::uint64_t v) {
  PutBe32(p, static_cast<std::uint32_t>(v >> 32));
  PutBe32(p + 4, static_cast<std::uint32_t>(v));
}

inline std::uint16_t GetBe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t GetBe32(const std::uint8_t* p) {
  return (std::uint32_t{GetBe16(p)} << 16) | GetBe16(p + 2);
}

inline std::uint64_t GetBe64(const std::uint8_t* p) {
  return (std::uint64_t{GetBe32(p)} << 32) | GetBe32(p + 4);
}

inline void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void PutLe32(std::uint8_t* p, std::uint32_t v) {
  PutLe16(p, static_cast<std::uint16_t>(v));
  PutLe16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

inline std::uint16_t GetLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t GetLe32(const std::uint8_t* p) {
  return GetLe16(p) | (std::uint32_t{GetLe16(p + 2)} << 16);
}

inline std::uint64_t GetLe64(const std::uint8_t* p) {
  return GetLe32(p) | (std::uint64_t{GetLe32(p + 4)} << 32);
}

inline void PutLe64(std::uint8_t* p, std::uint64_t v) {
  PutLe32(p, static_cast<std::uint32_t>(v));
  PutLe32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// Reverses the eight bytes of a 64-bit value: the lowest byte becomes the
// highest.
constexpr std::uint64_t SwapBytes64(std::uint64_t v) {
  std::uint64_t out = 0;
  for (int i = 0; i < 8; ++i) {
    out = (out << 8) | (v & 0xFF);
    v >>= 8;
  }
  return out;
}

}  // namespace kx7
