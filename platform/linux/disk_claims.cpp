#include "platform/linux/disk_claims.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace kx7::linux_backend {

namespace {
// udevd's workers hold a shared lock on the disk while they handle one of
// its events; the claim waits for them this long.
constexpr auto kLockPatience = std::chrono::seconds(5);
constexpr auto kLockPoll = std::chrono::milliseconds(20);
}  // namespace

DiskClaims::~DiskClaims() {
  for (auto& [disk, claim] : claims_) ::close(claim.fd);
}

bool DiskClaims::take(dev_t disk, const std::string& node) {
  std::lock_guard lock(mutex_);
  if (const auto it = claims_.find(disk); it != claims_.end()) {
    ++it->second.holders;
    return true;
  }
  // Read-only: closing it is no write the udev watch would react to.
  const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if ((error != EWOULDBLOCK && error != EINTR) || std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      errno = error == EWOULDBLOCK ? EBUSY : error;
      return false;
    }
    std::this_thread::sleep_for(kLockPoll);
  }
  claims_[disk] = Claim{fd, 1, {}};
  return true;
}

void DiskClaims::release(dev_t disk) {
  std::lock_guard lock(mutex_);
  const auto it = claims_.find(disk);
  if (it == claims_.end() || it->second.holders == 0) return;
  if (--it->second.holders == 0) it->second.idleSince = std::chrono::steady_clock::now();
}

void DiskClaims::releaseIdle() {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  for (auto it = claims_.begin(); it != claims_.end();) {
    if (it->second.holders == 0 && now - it->second.idleSince >= linger_) {
      ::close(it->second.fd);
      it = claims_.erase(it);
    } else {
      ++it;
    }
  }
}

bool DiskClaims::held(dev_t disk) const {
  std::lock_guard lock(mutex_);
  return claims_.count(disk) != 0;
}

}  // namespace kx7::linux_backend
