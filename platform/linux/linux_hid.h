#pragma once

// HID devices on Linux: the interface paths LinuxDevices hands out lead to
// hidraw nodes; report sizes come from the report descriptor, and a report
// is one write of the whole buffer, report id first.

#include <map>
#include <memory>
#include <mutex>

#include "platform/hid.h"
#include "platform/linux/access_failure.h"

namespace kx7::linux_backend {

class LinuxHid final : public platform::HidTransport {
 public:
  explicit LinuxHid(AccessFailureLog& failures) : failures_(failures) {}
  ~LinuxHid() override;
  LinuxHid(const LinuxHid&) = delete;
  LinuxHid& operator=(const LinuxHid&) = delete;

  platform::Handle open(std::string_view devicePath) override;
  void close(platform::Handle handle) override;
  bool readCaps(platform::Handle handle, platform::HidCaps& caps, std::uint32_t& status) override;
  bool writeReport(platform::Handle handle, std::span<const std::uint8_t> report) override;

  std::size_t openHandleCount() const;

 private:
  struct OpenNode {
    std::string node;
    int fd = -1;
  };
  std::optional<OpenNode> find(platform::Handle handle) const;

  AccessFailureLog& failures_;
  mutable std::mutex mutex_;
  std::map<std::uintptr_t, OpenNode> open_;
  std::uintptr_t next_ = 0x2000;
};

}  // namespace kx7::linux_backend
