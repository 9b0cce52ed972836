// HID devices: opened by interface path, their capabilities from hid.dll,
// output reports written with WriteFile.
#include <windows.h>
// The hid.dll headers of mingw-w64 declare no C linkage of their own.
extern "C" {
#include <hidsdi.h>
}

#include <limits>

#include "platform/win32/backend.h"
#include "platform/win32/native.h"

namespace kx7::platform::win32 {

static_assert(sizeof(HIDP_CAPS) == 64);

Handle Win32Hid::open(std::string_view devicePath) {
  return OpenForReadWrite(devicePath);
}

void Win32Hid::close(Handle handle) {
  CloseIfOpen(handle);
}

bool Win32Hid::readCaps(Handle handle, HidCaps& caps, std::uint32_t& status) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(ToNative(handle), &preparsed)) return false;
  HIDP_CAPS native{};
  status = static_cast<std::uint32_t>(HidP_GetCaps(preparsed, &native));
  HidD_FreePreparsedData(preparsed);
  caps = {};
  caps.usage = native.Usage;
  caps.usagePage = native.UsagePage;
  caps.inputReportByteLength = native.InputReportByteLength;
  caps.outputReportByteLength = native.OutputReportByteLength;
  caps.featureReportByteLength = native.FeatureReportByteLength;
  caps.numberLinkCollectionNodes = native.NumberLinkCollectionNodes;
  caps.numberInputButtonCaps = native.NumberInputButtonCaps;
  caps.numberInputValueCaps = native.NumberInputValueCaps;
  caps.numberInputDataIndices = native.NumberInputDataIndices;
  caps.numberOutputButtonCaps = native.NumberOutputButtonCaps;
  caps.numberOutputValueCaps = native.NumberOutputValueCaps;
  caps.numberOutputDataIndices = native.NumberOutputDataIndices;
  caps.numberFeatureButtonCaps = native.NumberFeatureButtonCaps;
  caps.numberFeatureValueCaps = native.NumberFeatureValueCaps;
  caps.numberFeatureDataIndices = native.NumberFeatureDataIndices;
  return true;
}

bool Win32Hid::writeReport(Handle handle, std::span<const std::uint8_t> report) {
  if (report.size() > std::numeric_limits<DWORD>::max()) return false;
  DWORD written = 0;
  return WriteFile(ToNative(handle), report.data(), static_cast<DWORD>(report.size()), &written,
                   nullptr) != 0;
}

}  // namespace kx7::platform::win32
