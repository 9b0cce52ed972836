#pragma once

// What the player shows the USB host in each of its modes: the device and
// configuration descriptors, the strings, and for the ROM its HID report
// descriptor. The identities are the ones the library and the udev rules
// match.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/player/player.h"

namespace kx7::usbplayer {

// Endpoint addresses of every mode: mass storage has bulk IN and OUT, the
// ROM's HID interface interrupt IN and OUT.
inline constexpr std::uint8_t kBulkIn = 0x81;
inline constexpr std::uint8_t kBulkOut = 0x02;
inline constexpr std::uint8_t kInterruptIn = 0x83;
inline constexpr std::uint8_t kInterruptOut = 0x04;
inline constexpr std::uint16_t kBulkPacketSize = 512;        // high speed
inline constexpr std::uint16_t kInterruptPacketSize = 1024;  // one high-speed packet per microframe

struct UsbIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t deviceRelease = 0;  // bcdDevice
  std::string manufacturer, product, serial;
  bool hid = false;  // the ROM: one HID interface; else one mass-storage interface
  std::vector<std::uint8_t> reportDescriptor;
  std::uint8_t interfaceClass = 0, interfaceSubClass = 0, interfaceProtocol = 0;

  std::vector<std::uint8_t> deviceDescriptor() const;
  // The configuration with its interface, class and endpoint descriptors.
  std::vector<std::uint8_t> configurationDescriptor() const;
  // String descriptor `index` (0: the language list), or empty if none.
  std::vector<std::uint8_t> stringDescriptor(std::uint8_t index) const;
  // The HID class descriptor inside the configuration (ROM only).
  std::vector<std::uint8_t> hidDescriptor() const;
};

// The identity of `player` in `mode` (Normal, Updater or RomRecovery).
UsbIdentity IdentityFor(const sim::Player& player, sim::PlayerMode mode);

// The ROM's report descriptor for the player's report lengths: a vendor
// page with output reports 1 and 2 and input report 3, each length counting
// its report id byte, as the host's HID layer reports them.
std::vector<std::uint8_t> RomReportDescriptor(std::uint16_t outputReportLength,
                                              std::uint16_t inputReportLength);

}  // namespace kx7::usbplayer
