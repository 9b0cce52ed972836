#pragma once

// The Linux backend: every platform interface, on libudev, SG_IO, hidraw and
// block devices. Building it opens nothing; each call looks at the system
// as it is then.

#include <optional>

#include "platform/linux/access_failure.h"
#include "platform/linux/autoplay_store.h"
#include "platform/linux/linux_config.h"
#include "platform/linux/linux_devices.h"
#include "platform/linux/linux_files.h"
#include "platform/linux/linux_hid.h"
#include "platform/linux/linux_host.h"
#include "platform/linux/linux_volumes.h"
#include "platform/linux/registry_view.h"
#include "platform/platform.h"

namespace kx7::linux_backend {

class LinuxBackend {
 public:
  explicit LinuxBackend(LinuxConfig config = {});
  LinuxBackend(const LinuxBackend&) = delete;
  LinuxBackend& operator=(const LinuxBackend&) = delete;

  platform::Services services();

  // The last device node that could not be used, and why.
  std::optional<AccessFailure> lastAccessFailure() const { return failures_.last(); }
  void clearAccessFailure() { failures_.clear(); }
  // The mounts of the disk at a drive letter.
  std::vector<MountedVolume> mountsOfLetter(char letter) { return volumes_.mountsOfLetter(letter); }
  // Volume, disk and HID handles and registry keys open now.
  std::size_t openHandleCount() const;

  const LinuxConfig& config() const { return config_; }
  LinuxVolumes& volumes() { return volumes_; }
  LinuxHid& hid() { return hid_; }
  LinuxFiles& files() { return files_; }
  RegistryView& registry() { return registry_; }
  LinuxDevices& devices() { return devices_; }
  LinuxHost& host() { return host_; }

 private:
  LinuxConfig config_;
  AccessFailureLog failures_;
  // Drive letters kept for as long as their disks stay attached.
  LetterBook letters_;
  AutoplayStore autoplay_;
  LinuxVolumes volumes_;
  LinuxDevices devices_;
  LinuxHid hid_;
  RegistryView registry_;
  LinuxFiles files_;
  LinuxHost host_;
};

}  // namespace kx7::linux_backend
