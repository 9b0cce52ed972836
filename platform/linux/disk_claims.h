#pragma once

// Whole-disk claims: flock(LOCK_EX) on the disk's node, the way systemd
// documents for programs that write partition tables. While one is held,
// systemd-udevd neither re-reads the disk's table when a writer closes it nor
// probes its partitions, so a format's handles can come and go without the
// partitions dropping and reappearing under it. A claim outlives the lock
// that took it for a while: the library unlocks, closes and reopens the disk
// several times in one format, and udevd reacts to each close some time
// after it.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace kx7::linux_backend {

class DiskClaims {
 public:
  explicit DiskClaims(std::chrono::milliseconds linger) : linger_(linger) {}
  ~DiskClaims();
  DiskClaims(const DiskClaims&) = delete;
  DiskClaims& operator=(const DiskClaims&) = delete;

  // One more holder of the claim on `disk` (its node `node`), taken now if
  // this process holds none. False with errno when the node cannot be opened
  // or someone else keeps it locked.
  bool take(dev_t disk, const std::string& node);
  // One holder fewer; the claim lingers once it has none.
  void release(dev_t disk);
  // Ends the claims without holders that lingered long enough.
  void releaseIdle();
  bool held(dev_t disk) const;

 private:
  struct Claim {
    int fd = -1;
    int holders = 0;
    std::chrono::steady_clock::time_point idleSince;
  };
  const std::chrono::milliseconds linger_;
  mutable std::mutex mutex_;
  std::map<dev_t, Claim> claims_;
};

}  // namespace kx7::linux_backend
