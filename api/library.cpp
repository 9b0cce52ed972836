#include "api/library.h"

#include <cstring>
#include <locale>

#include "api/busy_guard.h"
#include "api/result_codes.h"
#include "device/player_scan.h"
#include "firmware/hid_recovery.h"
#include "host/serial_lookup.h"

namespace kx7 {

namespace {
constexpr const char* kLibraryVersion = "000.000.001.002";
constexpr const char* kApiVersion = "000.000.000.006";
constexpr std::size_t kVersionBufferSize = 30;
constexpr std::size_t kDeviceListSize = 26;
// Detect_HID's caller passes the recovery device's 21-character path fragment.
constexpr std::size_t kDetectPatternLength = 21;

// strncpy-like copy that always terminates within `size` bytes.
void BoundedCopy(char* out, std::size_t size, const char* text) {
  const std::size_t length = strnlen(text, size - 1);
  std::memcpy(out, text, length);
  out[length] = '\0';
}
}  // namespace

void InstallUserLocale() {
  try {
    std::locale::global(std::locale(""));
  } catch (const std::runtime_error&) {
    // The environment names a locale the system does not have; keep the
    // current one.
  }
}

Library::Library(const platform::Services& services)
    : clock_(services.clock),
      services_{services.volumes,  services.devices, services.hid,
                services.registry, services.shell,   services.com,
                services.files,    services.system,  clock_},
      images_(MakeInitialImageTable()) {}

void Library::SetProgressObserver(ProgressObserver* observer) {
  observer_ = observer;
  clock_.SetObserver(observer);
}

Library::~Library() = default;

int Library::MSCDeviceList(char* list) {
  const int count = CountPlayers(services_);
  if (list) {
    const char text[2] = {currentDriveLetter_.load(), '\0'};
    BoundedCopy(list, kDeviceListSize, text);
  }
  return count;
}

int Library::DeviceSerialNum(char* data, int index) {
  return kx7::DeviceSerialNum(services_.devices, data, index);
}

int Library::Detect_HID(const char* pattern) {
  // The pattern is read but changes nothing: the recovery-device search uses
  // its own fixed patterns. Read no further than its 21 characters.
  const std::size_t length = pattern ? strnlen(pattern, kDetectPatternLength) : 0;
  static_cast<void>(length);
  // A recovery object is made and dropped unopened: no device is touched.
  HidRecoveryDevice::Create(services_).reset();
  return result::kOk;
}

void Library::ReleaseAtUnload() {
  if (!currentDevice_) return;
  currentDevice_->ReleaseAtUnload();
  currentDevice_.reset();
}

int Library::WriteVersionText(char* out, const char* text) {
  BusyGuard guard(busy_);
  if (!guard.acquired()) return result::kVersionBusy;
  if (out) BoundedCopy(out, kVersionBufferSize, text);
  return result::kOk;
}

int Library::GetFWLibraryVersion(char* out) {
  return WriteVersionText(out, kLibraryVersion);
}

int Library::GetAPIVersion(char* out) {
  return WriteVersionText(out, kApiVersion);
}

int Library::ChangeUSBMode() {
  if (busy_.load()) return result::kBusy;
  return result::kUsbModeChanged;
}

int Library::ResetChipset() {
  if (busy_.load()) return result::kBusy;
  return result::kOk;
}

}  // namespace kx7
