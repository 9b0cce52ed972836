#pragma once

// The last device node the backend could not use, and why. Result codes are
// all the library reports; a host application on Linux reads this to tell
// the user which node failed and what to do about it.

#include <mutex>
#include <optional>
#include <string>

namespace kx7::linux_backend {

// What the backend was doing with the node.
enum class NodeOperation {
  Open,     // opening it
  Command,  // a SCSI command, a HID report, a read or write
  // a SCSI command on the disk's block node, which has no generic node (the
  // sg module not loaded): the kernel passes only a few commands there
  BlockNodeCommand,
  Lock,    // taking the disk for itself
  Reread,  // making the kernel read a new partition table
};

struct AccessFailure {
  std::string node;  // e.g. /dev/sg2
  int error = 0;     // errno
  NodeOperation operation = NodeOperation::Open;
  friend bool operator==(const AccessFailure&, const AccessFailure&) = default;
};

class AccessFailureLog {
 public:
  void record(std::string node, int error, NodeOperation operation) {
    std::lock_guard lock(mutex_);
    last_ = AccessFailure{std::move(node), error, operation};
  }
  std::optional<AccessFailure> last() const {
    std::lock_guard lock(mutex_);
    return last_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    last_.reset();
  }

 private:
  mutable std::mutex mutex_;
  std::optional<AccessFailure> last_;
};

}  // namespace kx7::linux_backend
