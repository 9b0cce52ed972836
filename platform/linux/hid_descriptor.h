#pragma once

// The report sizes Windows derives from a HID report descriptor, for the
// device's hidraw node.

#include <cstdint>
#include <optional>
#include <span>

#include "platform/hid.h"

namespace kx7::linux_backend {

// HIDP_CAPS as HidP_GetCaps fills it for this descriptor: the usage and page
// of the first top-level collection, and for input, output and feature the
// longest report in bytes with the report id byte counted (also when the
// device uses no ids), 0 when there is no report of that kind. Nothing when
// the descriptor is malformed.
std::optional<platform::HidCaps> CapsFromReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace kx7::linux_backend
