#pragma once

#include "platform/device_enumeration.h"

namespace kx7 {

// What a player's USB device instance identifier starts with; its serial
// follows.
inline constexpr const char* kPlayerUsbPrefix = "USB\\VID_3F1C&PID_7A52\\";
inline constexpr std::size_t kPlayerUsbPrefixLength = 22;
inline constexpr std::size_t kInstanceIdBufferSize = 128;

// The instance identifier of the index-th attached player into `data` (128
// bytes): 1 found, 0 fewer players, any other value the system's error when
// the device list cannot be had.
int DeviceSerialNum(platform::DeviceEnumeration& devices, char* data, int index);

}  // namespace kx7
