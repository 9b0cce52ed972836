#pragma once

// Owning handles for libudev objects and the few queries the backend makes.
// libudev contexts are not shared between threads, so each scan makes its
// own.

#include <libudev.h>

#include <memory>
#include <string>
#include <vector>

namespace kx7::linux_backend {

struct UdevUnref {
  void operator()(udev* u) const { udev_unref(u); }
};
struct UdevDeviceUnref {
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
using Udev = std::unique_ptr<udev, UdevUnref>;
using UdevDevice = std::unique_ptr<udev_device, UdevDeviceUnref>;

inline Udev NewUdev() {
  return Udev(udev_new());
}

// A sysfs attribute or udev property as text; "" when there is none.
std::string Attribute(udev_device* device, const char* name);
std::string Property(udev_device* device, const char* name);
std::string Syspath(udev_device* device);
std::string Devnode(udev_device* device);

// The devices of a subsystem, optionally of one DEVTYPE, in syspath order.
std::vector<UdevDevice> DevicesOf(udev* context, const char* subsystem,
                                  const char* devtype = nullptr);

// Parses a decimal or hexadecimal attribute; `fallback` when it is no number.
unsigned long long NumberOf(const std::string& text, int base, unsigned long long fallback);

}  // namespace kx7::linux_backend
