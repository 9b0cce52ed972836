#include "platform/linux/linux_hid.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/hid_descriptor.h"
#include "platform/linux/udev_device.h"
#include "platform/linux/windows_names.h"

namespace kx7::linux_backend {

LinuxHid::~LinuxHid() {
  for (auto& [value, node] : open_) ::close(node.fd);
}

platform::Handle LinuxHid::open(std::string_view devicePath) {
  const auto name = HidrawNameOfPath(devicePath);
  if (!name) return platform::Handle::invalid();
  const Udev context = NewUdev();
  const UdevDevice device(
      context ? udev_device_new_from_subsystem_sysname(context.get(), "hidraw", name->c_str())
              : nullptr);
  const std::string node = Devnode(device.get());
  if (node.empty()) return platform::Handle::invalid();
  const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    failures_.record(node, errno, NodeOperation::Open);
    return platform::Handle::invalid();
  }
  std::lock_guard lock(mutex_);
  const std::uintptr_t value = next_;
  next_ += 4;
  open_.emplace(value, OpenNode{node, fd});
  return platform::Handle::fromValue(value);
}

void LinuxHid::close(platform::Handle handle) {
  std::lock_guard lock(mutex_);
  const auto it = open_.find(handle.value());
  if (it == open_.end()) return;
  ::close(it->second.fd);
  open_.erase(it);
}

std::optional<LinuxHid::OpenNode> LinuxHid::find(platform::Handle handle) const {
  std::lock_guard lock(mutex_);
  const auto it = open_.find(handle.value());
  if (it == open_.end()) return std::nullopt;
  return it->second;
}

std::size_t LinuxHid::openHandleCount() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

bool LinuxHid::readCaps(platform::Handle handle, platform::HidCaps& caps, std::uint32_t& status) {
  const auto open = find(handle);
  if (!open) return false;
  int size = 0;
  hidraw_report_descriptor descriptor{};
  if (ioctl(open->fd, HIDIOCGRDESCSIZE, &size) != 0 || size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
    failures_.record(open->node, errno, NodeOperation::Command);
    return false;
  }
  descriptor.size = static_cast<std::uint32_t>(size);
  if (ioctl(open->fd, HIDIOCGRDESC, &descriptor) != 0) {
    failures_.record(open->node, errno, NodeOperation::Command);
    return false;
  }
  const auto parsed = CapsFromReportDescriptor(std::span(descriptor.value, descriptor.size));
  if (!parsed) return false;
  caps = *parsed;
  status = platform::kHidpStatusSuccess;
  return true;
}

bool LinuxHid::writeReport(platform::Handle handle, std::span<const std::uint8_t> report) {
  const auto open = find(handle);
  if (!open || report.empty()) return false;
  // No time limit of our own: usbhid sends the report as an interrupt
  // transfer (or a SET_REPORT control request) with the USB core's 5-second
  // limit, so a ROM that stops taking reports fails the write with
  // ETIMEDOUT. (POLLOUT would not bound it: hidraw is always writable.)
  ssize_t written;
  do {
    written = ::write(open->fd, report.data(), report.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) failures_.record(open->node, errno, NodeOperation::Command);
  return written == static_cast<ssize_t>(report.size());
}

}  // namespace kx7::linux_backend
