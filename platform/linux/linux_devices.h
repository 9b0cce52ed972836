#pragma once

// Device enumeration on Linux, through libudev: the USB devices as Windows
// lists them (class "USB", instance identifiers in Windows form) and the
// hidraw nodes as HID interfaces with Windows-style paths.

#include "platform/device_enumeration.h"

namespace kx7::linux_backend {

class LinuxDevices final : public platform::DeviceEnumeration {
 public:
  std::unique_ptr<platform::PresentDeviceSet> presentDevices(std::uint32_t& lastError) override;
  std::unique_ptr<platform::HidInterfaceSet> hidInterfaces() override;
};

}  // namespace kx7::linux_backend
