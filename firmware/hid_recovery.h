#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "firmware/image_table.h"
#include "platform/platform.h"
#include "util/progress.h"

namespace kx7 {

// The path fragments that mark the chip's ROM recovery device (vendor 066F,
// product 3770), in the two case forms Windows uses.
inline constexpr const char* kRecoveryHidUpper = "HID#VID_066F&PID_3770";
inline constexpr const char* kRecoveryHidLower = "hid#vid_066f&pid_3770";

// Whether a HID interface path is the ROM recovery device's.
bool IsRecoveryDevicePath(std::string_view path);

// The player in ROM recovery mode, seen as a HID device: found, opened, its
// report sizes read, and the updater image downloaded in output reports.
class HidRecoveryDevice {
 public:
  static std::unique_ptr<HidRecoveryDevice> Create(const platform::Services& services);
  // Destroy: closes as Close() does.
  ~HidRecoveryDevice();
  HidRecoveryDevice(const HidRecoveryDevice&) = delete;
  HidRecoveryDevice& operator=(const HidRecoveryDevice&) = delete;

  // Closes the handle, empties both reports and zeroes the caps; the object
  // can be used again.
  void Close();
  // Opens the first present HID interface whose path holds one of the two
  // match strings; interfaces whose detail cannot be read are passed over.
  // Null when none matches; invalid when the open fails. The caller stores
  // it in Handle.
  platform::Handle FindRecoveryHidDevice();
  bool ReadCaps();
  // Sends the file of the "Updater" row: a command report, then data reports.
  bool DownloadImage(const ImageTable& images);

  platform::Handle Handle;
  platform::HidCaps Caps;
  std::vector<std::uint8_t> InputReport;
  std::vector<std::uint8_t> OutputReport;
  // Told how the download advances.
  ProgressObserver* Observer = nullptr;

 private:
  explicit HidRecoveryDevice(const platform::Services& services) : services_(services) {}
  platform::Services services_;
};

}  // namespace kx7
