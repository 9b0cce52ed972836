#include "platform/linux/linux_devices.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/udev_device.h"
#include "platform/linux/usb_disks.h"
#include "platform/linux/windows_names.h"

namespace kx7::linux_backend {

namespace {

// Windows error codes for a device list that cannot be had.
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorGenFailure = 31;

bool CopyOut(const std::string& text, std::span<char> buffer) {
  if (text.size() + 1 > buffer.size()) return false;  // ERROR_INSUFFICIENT_BUFFER
  std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
  return true;
}

// A snapshot taken when the set is made, as SetupAPI takes one.
class PresentUsbDevices final : public platform::PresentDeviceSet {
 public:
  explicit PresentUsbDevices(std::vector<std::string> ids) : ids_(std::move(ids)) {}
  platform::EnumResult member(std::uint32_t index) override {
    return index < ids_.size() ? platform::EnumResult::Ok : platform::EnumResult::NoMoreItems;
  }
  bool className(std::uint32_t index, std::span<char> buffer) override {
    return index < ids_.size() && CopyOut("USB", buffer);
  }
  bool instanceId(std::uint32_t index, std::span<char> buffer) override {
    return index < ids_.size() && CopyOut(ids_[index], buffer);
  }

 private:
  std::vector<std::string> ids_;
};

class HidrawInterfaces final : public platform::HidInterfaceSet {
 public:
  explicit HidrawInterfaces(std::vector<std::string> paths) : paths_(std::move(paths)) {}
  platform::EnumResult interfaceAt(std::uint32_t index) override {
    return index < paths_.size() ? platform::EnumResult::Ok : platform::EnumResult::NoMoreItems;
  }
  std::optional<std::string> devicePath(std::uint32_t index) override {
    if (index >= paths_.size()) return std::nullopt;
    return paths_[index];
  }

 private:
  std::vector<std::string> paths_;
};

std::uint32_t WindowsErrorFor(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace

std::unique_ptr<platform::PresentDeviceSet> LinuxDevices::presentDevices(std::uint32_t& lastError) {
  errno = 0;
  const Udev context = NewUdev();
  if (!context) {
    lastError = WindowsErrorFor(errno);
    return nullptr;
  }
  std::vector<std::string> ids;
  for (const UdevDevice& usb : DevicesOf(context.get(), "usb", "usb_device")) {
    const auto vendor = NumberOf(Attribute(usb.get(), "idVendor"), 16, ~0ull);
    const auto product = NumberOf(Attribute(usb.get(), "idProduct"), 16, ~0ull);
    if (vendor > 0xFFFF || product > 0xFFFF) continue;
    ids.push_back(UsbInstanceId(static_cast<std::uint16_t>(vendor),
                                static_cast<std::uint16_t>(product),
                                TrimmedSerial(Attribute(usb.get(), "serial")), Syspath(usb.get())));
  }
  return std::make_unique<PresentUsbDevices>(std::move(ids));
}

std::unique_ptr<platform::HidInterfaceSet> LinuxDevices::hidInterfaces() {
  const Udev context = NewUdev();
  if (!context) return nullptr;
  std::vector<std::string> paths;
  for (const UdevDevice& hidraw : DevicesOf(context.get(), "hidraw")) {
    // HID_ID is "bus:vendor:product", each in hex.
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw.get(), "hid", nullptr);
    unsigned bus = 0;
    unsigned vendor = 0;
    unsigned product = 0;
    const std::string id = Property(hid, "HID_ID");
    if (std::sscanf(id.c_str(), "%x:%x:%x", &bus, &vendor, &product) != 3) continue;
    paths.push_back(HidInterfacePath(static_cast<std::uint16_t>(vendor),
                                     static_cast<std::uint16_t>(product),
                                     udev_device_get_sysname(hidraw.get())));
  }
  return std::make_unique<HidrawInterfaces>(std::move(paths));
}

}  // namespace kx7::linux_backend
