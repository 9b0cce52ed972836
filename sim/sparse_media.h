#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

namespace kx7::sim {

// The bytes of one logical drive. Only blocks that were written take memory;
// everything else reads as the erased value (0xFF, as erased flash does).
class SparseMedia {
 public:
  static constexpr std::uint8_t kErased = 0xFF;

  explicit SparseMedia(std::uint64_t size = 0) : size_(size) {}

  std::uint64_t size() const { return size_; }
  // Bytes beyond the end read as erased.
  void read(std::uint64_t offset, std::span<std::uint8_t> out) const;
  std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t length) const;
  // Bytes beyond the end are dropped.
  void write(std::uint64_t offset, std::span<const std::uint8_t> data);
  void erase() { blocks_.clear(); }

 private:
  static constexpr std::uint64_t kBlock = 64 * 1024;
  std::uint64_t size_;
  std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> blocks_;
};

}  // namespace kx7::sim
