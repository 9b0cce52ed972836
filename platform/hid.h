#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/handle.h"

namespace kx7::platform {

// HIDP_CAPS, 64 bytes, field for field.
struct HidCaps {
  std::uint16_t usage = 0;
  std::uint16_t usagePage = 0;
  std::uint16_t inputReportByteLength = 0;
  std::uint16_t outputReportByteLength = 0;
  std::uint16_t featureReportByteLength = 0;
  std::uint16_t reserved[17] = {};
  std::uint16_t numberLinkCollectionNodes = 0;
  std::uint16_t numberInputButtonCaps = 0;
  std::uint16_t numberInputValueCaps = 0;
  std::uint16_t numberInputDataIndices = 0;
  std::uint16_t numberOutputButtonCaps = 0;
  std::uint16_t numberOutputValueCaps = 0;
  std::uint16_t numberOutputDataIndices = 0;
  std::uint16_t numberFeatureButtonCaps = 0;
  std::uint16_t numberFeatureValueCaps = 0;
  std::uint16_t numberFeatureDataIndices = 0;
};
static_assert(sizeof(HidCaps) == 64);

// HidP_GetCaps status meaning success.
inline constexpr std::uint32_t kHidpStatusSuccess = 0x00110000;

// A HID device opened by its interface path (CreateFileA) and driven with
// the hid.dll calls and WriteFile.
class HidTransport {
 public:
  virtual ~HidTransport() = default;
  // CreateFileA for read and write, shared read and write, OPEN_EXISTING
  // (on Windows for overlapped I/O); Handle::invalid() when the open fails.
  virtual Handle open(std::string_view devicePath) = 0;
  virtual void close(Handle handle) = 0;
  // HidD_GetPreparsedData, HidP_GetCaps, HidD_FreePreparsedData. False when
  // the preparsed data cannot be had; otherwise `status` is HidP_GetCaps's.
  virtual bool readCaps(Handle handle, HidCaps& caps, std::uint32_t& status) = 0;
  // One WriteFile of the whole report. A report the device has not taken
  // within the backend's time limit is a failed write.
  virtual bool writeReport(Handle handle, std::span<const std::uint8_t> report) = 0;
};

}  // namespace kx7::platform
