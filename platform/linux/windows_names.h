#pragma once

// The names Windows gives the things the library looks for - device instance
// identifiers, HID interface paths, mounted-device paths, USBSTOR keys -
// made from what Linux knows of a device.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kx7::linux_backend {

// "USB\VID_3F1C&PID_7A52\" + serial (vendor and product in upper-case hex).
// A device whose serial Windows would not take (none, blanks, commas,
// control or non-ASCII bytes) gets a location-based identifier instead, as
// Windows gives it.
std::string UsbInstanceId(std::uint16_t vendorId, std::uint16_t productId, std::string_view serial,
                          std::string_view location);

// The path of a HID interface, "\\?\hid#vid_066f&pid_3770#<node>#{HID class
// GUID}" in lower case, with the hidraw node's name as the instance part.
std::string HidInterfacePath(std::uint16_t vendorId, std::uint16_t productId,
                             std::string_view hidrawName);
// The hidraw node name inside such a path; nothing when there is none.
std::optional<std::string> HidrawNameOfPath(std::string_view path);

// "Disk&Ven_<vendor>&Prod_<model>&Rev_<revision>" with blanks as '_'.
std::string UsbStorDeviceName(std::string_view vendor, std::string_view model,
                              std::string_view revision);

// What Windows 7 stores under MountedDevices for a USB disk's volume:
// "\??\USBSTOR#<device name>#<serial>&0#{disk class GUID}".
std::string MountedDevicePath(std::string_view usbStorDeviceName, std::string_view serial);

// A ParentIdPrefix for a device, stable for its place on the bus.
std::string ParentIdPrefix(std::string_view devicePlace);

}  // namespace kx7::linux_backend
