#pragma once

// A block device opened for positioned transfers that reach the device
// itself: O_DIRECT through an aligned bounce buffer, so that a read shows
// what the device holds (not the page cache) and a failed write fails at
// once, not at some later flush. Where the node takes no O_DIRECT (a file
// standing in for a disk), each write is flushed and each read drops the
// cached pages first, to the same effect.

#include <cstdint>
#include <span>
#include <string>

namespace kx7::linux_backend {

// Whole transfers at a position; a short one (the device ends first) fails
// with EIO or ENOSPC in errno. EINTR is retried.
bool ReadFully(int fd, std::uint64_t offset, std::span<std::uint8_t> out);
bool WriteFully(int fd, std::uint64_t offset, std::span<const std::uint8_t> data);

class BlockFile {
 public:
  BlockFile() = default;
  ~BlockFile() { close(); }
  BlockFile(const BlockFile&) = delete;
  BlockFile& operator=(const BlockFile&) = delete;

  // Opens `node` read-only or read-write, without waiting for a medium
  // (a removable disk without one still opens). False with errno set.
  bool open(const std::string& node, bool writable);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  bool writable() const { return writable_; }
  int fd() const { return fd_; }

  bool read(std::uint64_t offset, std::span<std::uint8_t> out);
  bool write(std::uint64_t offset, std::span<const std::uint8_t> data);
  // Drops whatever the kernel cached of the device (after its medium
  // changed under it).
  void dropCache();

 private:
  bool transfer(std::uint64_t offset, std::span<std::uint8_t> in,
                std::span<const std::uint8_t> out);
  int fd_ = -1;
  bool writable_ = false;
  bool direct_ = false;
  std::uint32_t blockSize_ = 512;
};

}  // namespace kx7::linux_backend
