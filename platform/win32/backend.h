#pragma once

// The platform interfaces on the real Windows services: kernel32, setupapi,
// hid, advapi32, shell32/shlwapi and ole32. One file per service; this header
// stays free of windows.h so that nothing including it inherits its macros.

#include "platform/platform.h"

namespace kx7::platform::win32 {

class Win32VolumeIo final : public VolumeIo {
 public:
  std::uint32_t logicalDriveMask() override;
  DriveType driveType(std::string_view rootPath) override;
  std::string fileSystemName(std::string_view rootPath) override;
  Handle openDevice(std::string_view path) override;
  void closeHandle(Handle handle) override;
  bool scsiPassThrough(Handle handle, std::span<std::uint8_t> request) override;
  bool lockVolume(Handle handle) override;
  bool unlockVolume(Handle handle) override;
  bool dismountVolume(Handle handle) override;
  bool driveGeometry(Handle handle, DiskGeometry& geometry) override;
  bool deleteDriveLayout(Handle handle) override;
  bool setDriveLayout(Handle handle, std::span<const std::uint8_t> layout) override;
  bool readAt(Handle handle, std::uint64_t offset, std::span<std::uint8_t> out) override;
  bool writeAt(Handle handle, std::uint64_t offset, std::span<const std::uint8_t> data) override;
};

class Win32DeviceEnumeration final : public DeviceEnumeration {
 public:
  std::unique_ptr<PresentDeviceSet> presentDevices(std::uint32_t& lastError) override;
  std::unique_ptr<HidInterfaceSet> hidInterfaces() override;
};

// How long one output report may take. A ROM takes a report within
// milliseconds; a write still pending after this is cancelled and fails,
// as the kernel bounds a hidraw write on Linux (5 s as well).
inline constexpr std::uint32_t kHidReportWriteLimitMs = 5000;

// WriteFile of `data` on a handle opened with FILE_FLAG_OVERLAPPED: false
// when it fails or has not completed within `limitMs` (then it is
// cancelled). On a synchronous handle the write is not bounded.
bool WriteWithTimeLimit(Handle handle, std::span<const std::uint8_t> data, std::uint32_t limitMs);

// The handle is opened for overlapped I/O, so that each output report is
// written with a time limit.
class Win32Hid final : public HidTransport {
 public:
  explicit Win32Hid(std::uint32_t writeLimitMs = kHidReportWriteLimitMs)
      : writeLimitMs_(writeLimitMs) {}
  Handle open(std::string_view devicePath) override;
  void close(Handle handle) override;
  bool readCaps(Handle handle, HidCaps& caps, std::uint32_t& status) override;
  bool writeReport(Handle handle, std::span<const std::uint8_t> report) override;

 private:
  std::uint32_t writeLimitMs_;
};

class Win32Registry final : public Registry {
 public:
  std::optional<RegistryKey> openKey(RegistryRoot root, std::string_view path,
                                     std::uint32_t access) override;
  std::optional<RegistryKey> createKey(RegistryRoot root, std::string_view path) override;
  bool queryValue(RegistryKey key, std::string_view name, std::span<std::uint8_t> buffer,
                  std::uint32_t& length) override;
  bool setValue(RegistryKey key, std::string_view name, RegistryType type,
                std::span<const std::uint8_t> data) override;
  void closeKey(RegistryKey key) override;
};

class Win32Shell final : public Shell {
 public:
  void changeNotify(std::uint32_t events, std::uint32_t flags, std::string_view path) override;
};

// COM must be initialised on the calling thread by the host application;
// the library does not choose the thread's apartment. The object registered
// in the running-object table is called in the registering apartment: from
// the multithreaded one the shell's calls are carried on COM's own threads,
// from a single-threaded one only when that thread pumps messages, which an
// update does not. Hosts call from a multithreaded-apartment worker.
class Win32Com final : public ComServices {
 public:
  HResult registerRunningObject(const Guid& classId, ComUnknown& object, std::uint32_t flags,
                                std::uint32_t& cookie) override;
  HResult revokeRunningObject(std::uint32_t cookie) override;
  std::string classIdText(const Guid& classId) override;
  std::string toAnsi(const char16_t* text) override;
};

class Win32FileSystem final : public FileSystem {
 public:
  std::string modulePath() override;
  bool createDirectory(std::string_view path) override;
  bool copyFileNoOverwrite(std::string_view from, std::string_view to) override;
  bool pathExists(std::string_view path) override;
  std::unique_ptr<InputFile> openForReading(std::string_view path, OpenMode mode) override;
};

class Win32System final : public SystemInfo, public Clock {
 public:
  OsVersion osVersion() override;
  void sleep(std::uint32_t milliseconds) override;
};

// Critical-error boxes ("There is no disk in the drive") off for the
// calling thread while the library works, then the earlier mode back. The
// thread's own mode where the system has one (SetThreadErrorMode, Windows 7
// and later, looked up at run time); before that the process-wide
// SetErrorMode, which other threads of the process then share for as long.
struct SavedErrorMode {
  std::uint32_t mode = 0;
  bool threadMode = false;
};
SavedErrorMode FailCriticalErrors(bool threadModeIfAvailable = true);
void RestoreErrorMode(const SavedErrorMode& saved);

// All services of one process.
class Win32Backend {
 public:
  Services services() {
    return Services{volumes_, devices_, hid_, registry_, shell_, com_, files_, system_, system_};
  }

 private:
  Win32VolumeIo volumes_;
  Win32DeviceEnumeration devices_;
  Win32Hid hid_;
  Win32Registry registry_;
  Win32Shell shell_;
  Win32Com com_;
  Win32FileSystem files_;
  Win32System system_;
};

}  // namespace kx7::platform::win32
