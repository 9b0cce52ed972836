#include "sim/player/sparse_media.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace kx7::sim {

void SparseMedia::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::fill(out.begin(), out.end(), erased_);
  std::size_t done = 0;
  while (done < out.size() && offset + done < size_) {
    const std::uint64_t position = offset + done;
    const std::uint64_t block = position / kBlock;
    const std::uint64_t within = position % kBlock;
    const std::size_t chunk = static_cast<std::size_t>(
        std::min<std::uint64_t>({kBlock - within, out.size() - done, size_ - position}));
    if (const auto it = blocks_.find(block); it != blocks_.end())
      std::memcpy(out.data() + done, it->second->data() + within, chunk);
    done += chunk;
  }
}

std::vector<std::uint8_t> SparseMedia::read(std::uint64_t offset, std::size_t length) const {
  std::vector<std::uint8_t> out(length);
  read(offset, out);
  return out;
}

std::shared_ptr<const SparseMedia::Block> SparseMedia::Intern(Block bytes) {
  // Blocks by a hash of their bytes; a block lives while a drive holds it.
  static std::mutex mutex;
  static std::unordered_multimap<std::uint64_t, std::weak_ptr<const Block>> pool;
  static std::size_t insertsSinceSweep = 0;

  std::uint64_t hash = 0x9E3779B97F4A7C15ull;
  for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    hash = (hash ^ word) * 0x100000001B3ull;
    hash ^= hash >> 29;
  }
  const std::lock_guard<std::mutex> lock(mutex);
  const auto [first, last] = pool.equal_range(hash);
  for (auto it = first; it != last; ++it)
    if (auto held = it->second.lock(); held && *held == bytes) return held;
  auto block = std::make_shared<const Block>(std::move(bytes));
  pool.emplace(hash, block);
  if (++insertsSinceSweep >= 4096) {
    insertsSinceSweep = 0;
    std::erase_if(pool, [](const auto& entry) { return entry.second.expired(); });
  }
  return block;
}

void SparseMedia::write(std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size() && offset + done < size_) {
    const std::uint64_t position = offset + done;
    const std::uint64_t block = position / kBlock;
    const std::uint64_t within = position % kBlock;
    const std::size_t chunk = static_cast<std::size_t>(
        std::min<std::uint64_t>({kBlock - within, data.size() - done, size_ - position}));
    Block bytes;
    if (chunk == kBlock) {
      bytes.assign(data.begin() + static_cast<std::ptrdiff_t>(done),
                   data.begin() + static_cast<std::ptrdiff_t>(done + chunk));
    } else {
      // Part of a block: what it held, with the new bytes over it.
      const auto it = blocks_.find(block);
      if (it != blocks_.end())
        bytes = *it->second;
      else
        bytes.assign(kBlock, erased_);
      std::memcpy(bytes.data() + within, data.data() + done, chunk);
    }
    blocks_[block] = Intern(std::move(bytes));
    done += chunk;
  }
}

bool SparseMedia::exportTo(const std::string& path, std::uint64_t offset,
                           std::uint64_t length) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  std::vector<std::uint8_t> chunk;
  for (std::uint64_t done = 0; done < length;) {
    const std::uint64_t position = offset + done;
    const std::uint64_t within = position % kBlock;
    const auto now = static_cast<std::size_t>(std::min(kBlock - within, length - done));
    if (erased_ == 0 && !blocks_.count(position / kBlock)) {
      out.seekp(static_cast<std::streamoff>(done + now));  // a hole
    } else {
      chunk.resize(now);
      read(position, chunk);
      out.seekp(static_cast<std::streamoff>(done));
      out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(now));
    }
    done += now;
  }
  out.close();
  if (!out) return false;
  // A trailing hole only moved the write position: give the file its size.
  std::error_code error;
  std::filesystem::resize_file(path, length, error);
  return !error;
}

}  // namespace kx7::sim
