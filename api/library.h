#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include "api/progress_clock.h"
#include "device/device_session.h"
#include "firmware/image_table.h"
#include "platform/platform.h"
#include "util/progress.h"

struct DeviceInfo;

namespace kx7 {

// The library's process-wide state and the twelve operations the exports
// forward to. The exports use one instance built at load on the build's
// backend; tests build their own on a simulated world. Each operation is a
// procedure of its own file (normal_update.cpp, recovery_update.cpp,
// need_recovery.cpp, device_info.cpp); the steps both updates share are in
// update_steps.*.
class Library {
 public:
  explicit Library(const platform::Services& services);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  int MSCDeviceList(char* list);
  int DeviceSerialNum(char* data, int index);
  int GetDeviceInfo(const char* serial, DeviceInfo* info);
  int GetLocalVersion(const char* folder, char* out, int outSize);
  int NeedRecovery(const char* serial, const char* folder);
  int Detect_HID(const char* pattern);
  int DoNormalUpdate(const char* serial, const char* folder);
  int DoRecoveryUpdate(const char* serial, const char* folder);
  int GetFWLibraryVersion(char* out);
  int GetAPIVersion(char* out);
  int ChangeUSBMode();
  int ResetChipset();

  // The library is being unloaded (FreeLibrary): the device a failed update
  // still holds is let go by closing its handle, with no shell call, no
  // registry access and no wait - this runs under the system's loader lock.
  void ReleaseAtUnload();

  // Follows every later update step by step; null stops the reports. The
  // observer must outlive its use; the exports never set one.
  void SetProgressObserver(ProgressObserver* observer);

  // What the procedures share, for inspection.
  bool Busy() const { return busy_.load(); }
  char CurrentDriveLetter() const { return currentDriveLetter_; }
  const DeviceSession* CurrentDevice() const { return currentDevice_.get(); }
  const ImageTable& Images() const { return images_; }
  const platform::Services& Services() const { return services_; }

 private:
  int WriteVersionText(char* out, const char* text);

  ProgressClock clock_;
  // The system's services, with the clock above in place of its own.
  platform::Services services_;
  ProgressObserver* observer_ = nullptr;
  std::atomic<bool> busy_{false};
  std::unique_ptr<DeviceSession> currentDevice_;
  // Written by guarded operations, read by MSCDeviceList from any thread.
  std::atomic<char> currentDriveLetter_{0};
  ImageTable images_;
};

// The user's default locale becomes the process-wide locale of the standard
// library (the update and query procedures start with this).
void InstallUserLocale();

// The instance the exports use; provided by the build's backend.
Library& ProcessLibrary();

// Held for the length of each export call; the build's backend puts in
// place what the calling thread needs while the library works (kx7fw.dll:
// critical errors fail instead of asking the user) and restores it.
class ExportCall {
 public:
  ExportCall() noexcept;
  ~ExportCall();
  ExportCall(const ExportCall&) = delete;
  ExportCall& operator=(const ExportCall&) = delete;

 private:
  // What the Windows build restores; unused elsewhere.
  [[maybe_unused]] std::uint32_t savedMode_ = 0;
  [[maybe_unused]] bool threadMode_ = false;
};

}  // namespace kx7
