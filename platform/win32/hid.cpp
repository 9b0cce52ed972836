// HID devices: opened by interface path, their capabilities from hid.dll,
// output reports written with WriteFile - overlapped, so that a device that
// stops taking reports while it stays attached cannot hold the caller for
// ever.
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
  return FromNative(CreateFileA(Terminated(devicePath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr));
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
  return WriteWithTimeLimit(handle, report, writeLimitMs_);
}

bool WriteWithTimeLimit(Handle handle, std::span<const std::uint8_t> data, std::uint32_t limitMs) {
  if (data.size() > std::numeric_limits<DWORD>::max()) return false;
  const HANDLE device = ToNative(handle);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped.hEvent) return false;
  DWORD written = 0;
  bool ok =
      WriteFile(device, data.data(), static_cast<DWORD>(data.size()), nullptr, &overlapped) != 0;
  if (!ok && GetLastError() == ERROR_IO_PENDING) {
    if (WaitForSingleObject(overlapped.hEvent, limitMs) == WAIT_OBJECT_0) {
      ok = GetOverlappedResult(device, &overlapped, &written, FALSE) != 0;
    } else {
      // CancelIo (not CancelIoEx, Vista and later) cancels what this thread
      // started on the handle - the write above. The buffer and the
      // OVERLAPPED must outlive it, so wait for the cancellation to land.
      CancelIo(device);
      GetOverlappedResult(device, &overlapped, &written, TRUE);
      ok = false;
    }
  }
  CloseHandle(overlapped.hEvent);
  return ok;
}

}  // namespace kx7::platform::win32
