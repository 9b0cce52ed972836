#pragma once

// A player's data volume mounted by the backend itself, for one file
// operation, when nothing else has mounted it: many desktops and servers
// mount nothing, or not within the seconds after the player comes back, and
// the settings must still be backed up and put back. Only root may mount;
// the mount is the process's own (in a private folder under /run), and goes
// when this goes (detached: a file still open in it keeps it until closed).

#include <memory>
#include <string>

#include "platform/linux/usb_disks.h"

namespace kx7::linux_backend {

class PrivateMount {
 public:
  // The disk's volume (its volume partition, else the whole disk) mounted
  // as FAT; null where it cannot be (not root, no such file system).
  static std::unique_ptr<PrivateMount> Of(const UsbDisk& disk);
  ~PrivateMount();
  PrivateMount(const PrivateMount&) = delete;
  PrivateMount& operator=(const PrivateMount&) = delete;

  const std::string& where() const { return where_; }

 private:
  explicit PrivateMount(std::string where) : where_(std::move(where)) {}
  std::string where_;
};

}  // namespace kx7::linux_backend
