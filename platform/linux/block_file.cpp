#include "platform/linux/block_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kx7::linux_backend {

namespace {

// Direct transfers move at most this much at a time through the bounce
// buffer; the buffer is aligned for any logical block size.
constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kAlignment = 4096;

struct FreeAligned {
  void operator()(std::uint8_t* p) const { std::free(p); }
};

}  // namespace

bool ReadFully(int fd, std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n =
        pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // the device ends before the span does
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFully(int fd, std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool BlockFile::open(const std::string& node, bool writable) {
  close();
  const int mode = (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC;
  fd_ = ::open(node.c_str(), mode | O_DIRECT);
  direct_ = fd_ >= 0;
  if (fd_ < 0 && errno == EINVAL) fd_ = ::open(node.c_str(), mode);
  if (fd_ < 0) return false;
  writable_ = writable;
  int size = 0;
  blockSize_ = direct_ && ioctl(fd_, BLKSSZGET, &size) == 0 && size > 0 &&
                       static_cast<std::size_t>(size) <= kAlignment
                   ? static_cast<std::uint32_t>(size)
                   : 512;
  return true;
}

void BlockFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  writable_ = false;
}

void BlockFile::dropCache() {
  if (fd_ < 0) return;
  // Dirty pages cannot be dropped: flushed first.
  if (writable_) fdatasync(fd_);
  posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
}

bool BlockFile::read(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (fd_ < 0) return errno = EBADF, false;
  if (!direct_) {
    posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(out.size()),
                  POSIX_FADV_DONTNEED);
    return ReadFully(fd_, offset, out);
  }
  return transfer(offset, out, {});
}

bool BlockFile::write(std::uint64_t offset, std::span<const std::uint8_t> data) {
  if (fd_ < 0 || !writable_) return errno = EBADF, false;
  if (!direct_) {
    // A write error shows only when the pages are flushed: flushed here, so
    // that it fails this write.
    if (!WriteFully(fd_, offset, data)) return false;
    return fdatasync(fd_) == 0 || errno == EINVAL;
  }
  return transfer(offset, {}, data);
}

// One direct transfer, chunk by chunk: whole blocks through the bounce
// buffer; a write that starts or ends inside a block reads that block first.
bool BlockFile::transfer(std::uint64_t offset, std::span<std::uint8_t> in,
                         std::span<const std::uint8_t> out) {
  const bool writing = !out.empty();
  const std::size_t length = writing ? out.size() : in.size();
  const std::unique_ptr<std::uint8_t, FreeAligned> buffer(
      static_cast<std::uint8_t*>(std::aligned_alloc(kAlignment, kChunk)));
  if (!buffer) return errno = ENOMEM, false;
  std::size_t done = 0;
  while (done < length) {
    const std::uint64_t at = offset + done;
    const std::uint64_t first = at / blockSize_ * blockSize_;
    const std::size_t lead = static_cast<std::size_t>(at - first);
    const std::size_t part = std::min(length - done, kChunk - lead);
    const std::size_t span = (lead + part + blockSize_ - 1) / blockSize_ * blockSize_;
    const std::span<std::uint8_t> bounce(buffer.get(), span);
    if (writing) {
      if (lead != 0 && !ReadFully(fd_, first, bounce.first(blockSize_))) return false;
      if ((lead + part) % blockSize_ != 0 &&
          !ReadFully(fd_, first + span - blockSize_, bounce.last(blockSize_)))
        return false;
      std::memcpy(bounce.data() + lead, out.data() + done, part);
      if (!WriteFully(fd_, first, bounce)) return false;
    } else {
      if (!ReadFully(fd_, first, bounce)) return false;
      std::memcpy(in.data() + done, bounce.data() + lead, part);
    }
    done += part;
  }
  return true;
}

}  // namespace kx7::linux_backend
