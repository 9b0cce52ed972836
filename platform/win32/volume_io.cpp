// Volumes and disks: kernel32's file and device-control calls.
#include <windows.h>

#include <ntddscsi.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/win32/backend.h"
#include "platform/win32/native.h"
#include "platform/win32/pass_through.h"

namespace kx7::platform::win32 {

static_assert(sizeof(SCSI_PASS_THROUGH) == kNativePassThrough.size);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) ==
              kNativePassThrough.dataTransferLength);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == kNativePassThrough.timeOutValue);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == kNativePassThrough.dataBufferOffset);
static_assert(sizeof(SCSI_PASS_THROUGH::DataBufferOffset) ==
              kNativePassThrough.dataBufferOffsetWidth);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == kNativePassThrough.senseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == kNativePassThrough.cdb);
static_assert(sizeof(DISK_GEOMETRY) == 24);
// Four PARTITION_INFORMATION entries after the 8-byte head, in both builds.
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry) +
                  4 * sizeof(PARTITION_INFORMATION) ==
              136);

namespace {

constexpr bool kLibraryLayoutIsNative = kNativePassThrough.size == kPassThrough32.size;

// A control call that moves no data.
bool Control(Handle handle, DWORD code) {
  DWORD returned = 0;
  return DeviceIoControl(ToNative(handle), code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

bool Transfer(Handle handle, DWORD code, void* buffer, std::size_t size) {
  if (size > std::numeric_limits<DWORD>::max()) return false;
  DWORD returned = 0;
  return DeviceIoControl(ToNative(handle), code, buffer, static_cast<DWORD>(size), buffer,
                         static_cast<DWORD>(size), &returned, nullptr) != 0;
}

using SetFilePointerExFunction = BOOL(WINAPI*)(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD);

// SetFilePointerEx is looked up before every positioned transfer: kernel32
// of the oldest Windows the library loads on has none, and there only the
// raw sector access fails, not the whole library.
bool SeekFromStart(Handle handle, std::uint64_t offset) {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const FARPROC found = kernel ? GetProcAddress(kernel, "SetFilePointerEx") : nullptr;
  if (!found) return false;
  const auto seek = reinterpret_cast<SetFilePointerExFunction>(reinterpret_cast<void (*)()>(found));
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return seek(ToNative(handle), distance, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

std::uint32_t Win32VolumeIo::logicalDriveMask() {
  return GetLogicalDrives();
}

DriveType Win32VolumeIo::driveType(std::string_view rootPath) {
  return static_cast<DriveType>(GetDriveTypeA(Terminated(rootPath).c_str()));
}

std::string Win32VolumeIo::fileSystemName(std::string_view rootPath) {
  char name[16] = {};
  if (!GetVolumeInformationA(Terminated(rootPath).c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                             name, sizeof name))
    return "";
  return std::string(name, strnlen(name, sizeof name));
}

Handle Win32VolumeIo::openDevice(std::string_view path) {
  return OpenForReadWrite(path);
}

void Win32VolumeIo::closeHandle(Handle handle) {
  CloseIfOpen(handle);
}

bool Win32VolumeIo::scsiPassThrough(Handle handle, std::span<std::uint8_t> request) {
  if constexpr (kLibraryLayoutIsNative) {
    return Transfer(handle, IOCTL_SCSI_PASS_THROUGH, request.data(), request.size());
  } else {
    std::vector<std::uint8_t> native;
    if (!ToNativePassThrough(request, native)) return false;
    if (!Transfer(handle, IOCTL_SCSI_PASS_THROUGH, native.data(), native.size())) return false;
    FromNativePassThrough(native, request);
    return true;
  }
}

bool Win32VolumeIo::lockVolume(Handle handle) {
  return Control(handle, FSCTL_LOCK_VOLUME);
}

bool Win32VolumeIo::unlockVolume(Handle handle) {
  return Control(handle, FSCTL_UNLOCK_VOLUME);
}

bool Win32VolumeIo::dismountVolume(Handle handle) {
  return Control(handle, FSCTL_DISMOUNT_VOLUME);
}

bool Win32VolumeIo::driveGeometry(Handle handle, DiskGeometry& geometry) {
  DISK_GEOMETRY native{};
  DWORD returned = 0;
  if (!DeviceIoControl(ToNative(handle), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &native,
                       sizeof native, &returned, nullptr))
    return false;
  geometry.cylinders = static_cast<std::uint64_t>(native.Cylinders.QuadPart);
  geometry.mediaType = static_cast<std::uint32_t>(native.MediaType);
  geometry.tracksPerCylinder = native.TracksPerCylinder;
  geometry.sectorsPerTrack = native.SectorsPerTrack;
  geometry.bytesPerSector = native.BytesPerSector;
  return true;
}

bool Win32VolumeIo::deleteDriveLayout(Handle handle) {
  return Control(handle, IOCTL_DISK_DELETE_DRIVE_LAYOUT);
}

bool Win32VolumeIo::setDriveLayout(Handle handle, std::span<const std::uint8_t> layout) {
  if (layout.size() > std::numeric_limits<DWORD>::max()) return false;
  // DeviceIoControl takes a writable buffer. The 136 bytes are the same in
  // both word sizes.
  std::vector<std::uint8_t> copy(layout.begin(), layout.end());
  DWORD returned = 0;
  return DeviceIoControl(ToNative(handle), IOCTL_DISK_SET_DRIVE_LAYOUT, copy.data(),
                         static_cast<DWORD>(copy.size()), nullptr, 0, &returned, nullptr) != 0;
}

bool Win32VolumeIo::readAt(Handle handle, std::uint64_t offset, std::span<std::uint8_t> out) {
  if (out.size() > std::numeric_limits<DWORD>::max() || !SeekFromStart(handle, offset))
    return false;
  DWORD done = 0;
  return ReadFile(ToNative(handle), out.data(), static_cast<DWORD>(out.size()), &done, nullptr) !=
         0;
}

bool Win32VolumeIo::writeAt(Handle handle, std::uint64_t offset,
                            std::span<const std::uint8_t> data) {
  if (data.size() > std::numeric_limits<DWORD>::max() || !SeekFromStart(handle, offset))
    return false;
  DWORD done = 0;
  return WriteFile(ToNative(handle), data.data(), static_cast<DWORD>(data.size()), &done,
                   nullptr) != 0;
}

}  // namespace kx7::platform::win32
