#include "sim/sparse_media.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

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
      std::memcpy(out.data() + done, it->second.data() + within, chunk);
    done += chunk;
  }
}

std::vector<std::uint8_t> SparseMedia::read(std::uint64_t offset, std::size_t length) const {
  std::vector<std::uint8_t> out(length);
  read(offset, out);
  return out;
}

void SparseMedia::write(std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size() && offset + done < size_) {
    const std::uint64_t position = offset + done;
    const std::uint64_t block = position / kBlock;
    const std::uint64_t within = position % kBlock;
    const std::size_t chunk = static_cast<std::size_t>(
        std::min<std::uint64_t>({kBlock - within, data.size() - done, size_ - position}));
    auto [it, added] = blocks_.try_emplace(block);
    if (added) it->second.assign(kBlock, erased_);
    std::memcpy(it->second.data() + within, data.data() + done, chunk);
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
