#pragma once

// The platform interfaces as the simulated world implements them, over the
// world's port. Each records what crosses it in the world's transcript.

#include <map>
#include <vector>

#include "platform/platform.h"
#include "sim/backend/handle_table.h"
#include "sim/backend/world_port.h"

namespace kx7::sim {

class SimVolumeIo final : public platform::VolumeIo {
 public:
  SimVolumeIo(WorldPort& world, HandleTable& handles) : world_(world), handles_(handles) {}
  std::uint32_t logicalDriveMask() override;
  platform::DriveType driveType(std::string_view rootPath) override;
  std::string fileSystemName(std::string_view rootPath) override;
  platform::Handle openDevice(std::string_view path) override;
  void closeHandle(platform::Handle handle) override;
  bool scsiPassThrough(platform::Handle handle, std::span<std::uint8_t> request) override;
  bool lockVolume(platform::Handle handle) override;
  bool unlockVolume(platform::Handle handle) override;
  bool dismountVolume(platform::Handle handle) override;
  bool driveGeometry(platform::Handle handle, platform::DiskGeometry& geometry) override;
  bool deleteDriveLayout(platform::Handle handle) override;
  bool setDriveLayout(platform::Handle handle, std::span<const std::uint8_t> layout) override;
  bool readAt(platform::Handle handle, std::uint64_t offset, std::span<std::uint8_t> out) override;
  bool writeAt(platform::Handle handle, std::uint64_t offset,
               std::span<const std::uint8_t> data) override;

 private:
  // The bytes of a player's data drive a handle reaches: the whole drive
  // through the disk, the mounted partition through the volume.
  struct Region {
    SimDrive* drive = nullptr;
    std::uint64_t base = 0;
    std::uint64_t length = 0;
    bool locked = false;  // the handle holds the lock
  };
  Region dataRegion(platform::Handle handle);

  WorldPort& world_;
  HandleTable& handles_;
};

class SimDeviceEnumeration final : public platform::DeviceEnumeration {
 public:
  explicit SimDeviceEnumeration(WorldPort& world) : world_(world) {}
  std::unique_ptr<platform::PresentDeviceSet> presentDevices(std::uint32_t& lastError) override;
  std::unique_ptr<platform::HidInterfaceSet> hidInterfaces() override;

 private:
  WorldPort& world_;
};

class SimHid final : public platform::HidTransport {
 public:
  SimHid(WorldPort& world, HandleTable& handles) : world_(world), handles_(handles) {}
  platform::Handle open(std::string_view devicePath) override;
  void close(platform::Handle handle) override;
  bool readCaps(platform::Handle handle, platform::HidCaps& caps, std::uint32_t& status) override;
  bool writeReport(platform::Handle handle, std::span<const std::uint8_t> report) override;

 private:
  WorldPort& world_;
  HandleTable& handles_;
};

class SimRegistry final : public platform::Registry {
 public:
  explicit SimRegistry(WorldPort& world) : world_(world) {}
  std::optional<platform::RegistryKey> openKey(platform::RegistryRoot root, std::string_view path,
                                               std::uint32_t access) override;
  std::optional<platform::RegistryKey> createKey(platform::RegistryRoot root,
                                                 std::string_view path) override;
  bool queryValue(platform::RegistryKey key, std::string_view name, std::span<std::uint8_t> buffer,
                  std::uint32_t& length) override;
  bool setValue(platform::RegistryKey key, std::string_view name, platform::RegistryType type,
                std::span<const std::uint8_t> data) override;
  void closeKey(platform::RegistryKey key) override;

  std::size_t openKeyCount() const { return keys_.size(); }

 private:
  struct OpenKey {
    platform::RegistryRoot root;
    std::string path;
    std::uint32_t access;
  };
  WorldPort& world_;
  std::map<std::uintptr_t, OpenKey> keys_;
  std::uintptr_t next_ = 0x2000;
};

class SimFileSystem final : public platform::FileSystem {
 public:
  explicit SimFileSystem(WorldPort& world) : world_(world) {}
  std::string modulePath() override;
  bool createDirectory(std::string_view path) override;
  bool copyFileNoOverwrite(std::string_view from, std::string_view to) override;
  bool pathExists(std::string_view path) override;
  std::unique_ptr<platform::InputFile> openForReading(std::string_view path,
                                                      platform::OpenMode mode) override;

 private:
  WorldPort& world_;
};

// The small services: shell notifications, COM (with the running-object
// table), the OS version and the clock.
class SimHostServices final : public platform::Shell,
                              public platform::ComServices,
                              public platform::SystemInfo,
                              public platform::Clock {
 public:
  explicit SimHostServices(WorldPort& world) : world_(world) {}
  void changeNotify(std::uint32_t events, std::uint32_t flags, std::string_view path) override;
  platform::HResult registerRunningObject(const platform::Guid& classId,
                                          platform::ComUnknown& object, std::uint32_t flags,
                                          std::uint32_t& cookie) override;
  platform::HResult revokeRunningObject(std::uint32_t cookie) override;
  std::string classIdText(const platform::Guid& classId) override;
  std::string toAnsi(const char16_t* text) override;
  platform::OsVersion osVersion() override;
  void sleep(std::uint32_t milliseconds) override;

  // Objects registered and not revoked, by cookie.
  std::vector<std::uint32_t> runningCookies() const;
  platform::ComUnknown* runningObject(std::uint32_t cookie) const;

 private:
  WorldPort& world_;
  std::map<std::uint32_t, platform::ComUnknown*> runningObjects_;
  std::uint32_t nextCookie_ = 0x1001;
};

}  // namespace kx7::sim
