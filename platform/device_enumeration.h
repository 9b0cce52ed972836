#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace kx7::platform {

// Outcome of asking a device information set for its member at an index.
enum class EnumResult {
  Ok,
  NoMoreItems,  // ERROR_NO_MORE_ITEMS: the index is past the last member
  Error,        // any other failure; later indices may still succeed
};

// SetupDiGetClassDevsA(DIGCF_PRESENT | DIGCF_ALLCLASSES) and its members.
// Destroying the object is SetupDiDestroyDeviceInfoList.
class PresentDeviceSet {
 public:
  virtual ~PresentDeviceSet() = default;
  // SetupDiEnumDeviceInfo.
  virtual EnumResult member(std::uint32_t index) = 0;
  // SetupDiClassNameFromGuidA into `buffer` (zero-terminated). On failure the
  // buffer keeps what it held.
  virtual bool className(std::uint32_t index, std::span<char> buffer) = 0;
  // SetupDiGetDeviceInstanceIdA into `buffer` (zero-terminated). On failure
  // the buffer keeps what it held.
  virtual bool instanceId(std::uint32_t index, std::span<char> buffer) = 0;
};

// SetupDiGetClassDevsA(GUID_DEVINTERFACE_HID, DIGCF_PRESENT |
// DIGCF_DEVICEINTERFACE) and its interfaces. Destroying the object is
// SetupDiDestroyDeviceInfoList.
class HidInterfaceSet {
 public:
  virtual ~HidInterfaceSet() = default;
  // SetupDiEnumDeviceInterfaces.
  virtual EnumResult interfaceAt(std::uint32_t index) = 0;
  // SetupDiGetDeviceInterfaceDetailA: the interface's DevicePath, or nothing
  // when the detail cannot be read.
  virtual std::optional<std::string> devicePath(std::uint32_t index) = 0;
};

class DeviceEnumeration {
 public:
  virtual ~DeviceEnumeration() = default;
  // Null when the set cannot be obtained; `lastError` then holds the
  // system's error code.
  virtual std::unique_ptr<PresentDeviceSet> presentDevices(std::uint32_t& lastError) = 0;
  // Null when the set cannot be obtained.
  virtual std::unique_ptr<HidInterfaceSet> hidInterfaces() = 0;
};

}  // namespace kx7::platform
