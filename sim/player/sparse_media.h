#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace kx7::sim {

// The bytes of one logical drive. Only blocks that were written take memory;
// everything else reads as the erased value: 0xFF, as erased flash does, or
// zero for a drive whose controller hides its flash behind a translation
// layer (the data drive, like any mass-storage disk). Blocks written whole
// with the same bytes - the three copies of a firmware, say - are held once,
// whichever drives hold them.
class SparseMedia {
 public:
  static constexpr std::uint8_t kErased = 0xFF;

  explicit SparseMedia(std::uint64_t size = 0, std::uint8_t erased = kErased)
      : size_(size), erased_(erased) {}

  std::uint64_t size() const { return size_; }
  std::uint8_t erasedValue() const { return erased_; }
  // Bytes beyond the end read as erased.
  void read(std::uint64_t offset, std::span<std::uint8_t> out) const;
  std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t length) const;
  // Bytes beyond the end are dropped.
  void write(std::uint64_t offset, std::span<const std::uint8_t> data);
  void erase() { blocks_.clear(); }

  // Writes `length` bytes from `offset` into a file on the real machine.
  // Blocks never written become holes where they read as zero, so a large,
  // mostly empty drive takes little room. False when the file cannot be
  // written.
  bool exportTo(const std::string& path, std::uint64_t offset, std::uint64_t length) const;

 private:
  static constexpr std::uint64_t kBlock = 64 * 1024;
  std::uint64_t size_;
  std::uint8_t erased_;
  using Block = std::vector<std::uint8_t>;
  // A block written whole: shared with every block of the same bytes.
  static std::shared_ptr<const Block> Intern(Block bytes);

  std::unordered_map<std::uint64_t, std::shared_ptr<const Block>> blocks_;
};

}  // namespace kx7::sim
