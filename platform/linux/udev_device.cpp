#include "platform/linux/udev_device.h"

#include <cerrno>
#include <cstdlib>

namespace kx7::linux_backend {

namespace {
std::string Text(const char* value) {
  return value ? std::string(value) : std::string();
}
}  // namespace

std::string Attribute(udev_device* device, const char* name) {
  return device ? Text(udev_device_get_sysattr_value(device, name)) : std::string();
}

std::string Property(udev_device* device, const char* name) {
  return device ? Text(udev_device_get_property_value(device, name)) : std::string();
}

std::string Syspath(udev_device* device) {
  return device ? Text(udev_device_get_syspath(device)) : std::string();
}

std::string Devnode(udev_device* device) {
  return device ? Text(udev_device_get_devnode(device)) : std::string();
}

std::vector<UdevDevice> DevicesOf(udev* context, const char* subsystem, const char* devtype) {
  std::vector<UdevDevice> devices;
  if (!context) return devices;
  udev_enumerate* enumerate = udev_enumerate_new(context);
  if (!enumerate) return devices;
  udev_enumerate_add_match_subsystem(enumerate, subsystem);
  if (devtype) udev_enumerate_add_match_property(enumerate, "DEVTYPE", devtype);
  if (udev_enumerate_scan_devices(enumerate) >= 0) {
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
      if (udev_device* device =
              udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)))
        devices.emplace_back(device);
    }
  }
  udev_enumerate_unref(enumerate);
  return devices;
}

unsigned long long NumberOf(const std::string& text, int base, unsigned long long fallback) {
  if (text.empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || end == text.c_str()) return fallback;
  while (*end == ' ' || *end == '\n') ++end;
  return *end == '\0' ? value : fallback;
}

}  // namespace kx7::linux_backend
