#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/backend/handle_table.h"
#include "sim/backend/world_port.h"
#include "sim/host/clock.h"
#include "sim/host/faults.h"
#include "sim/host/file_store.h"
#include "sim/host/registry_store.h"
#include "sim/host/transcript.h"
#include "sim/player/player.h"

namespace kx7::sim {

class SimVolumeIo;
class SimDeviceEnumeration;
class SimHid;
class SimRegistry;
class SimFileSystem;
class SimHostServices;

// Windows versions the host can run, with what each reports of itself. From
// Windows 8 on, a process without a compatibility manifest is told 6.2.
enum class OsPreset {
  Windows2000,
  WindowsXP,
  Server2003,
  Vista,
  Windows7,
  Windows10,
  Windows81,
  Windows11,
};

// A simulated Windows host with its players. It implements every platform
// interface in memory (sim/backend/, through the WorldPort it offers them);
// the library cannot tell it from the real thing. All time is virtual:
// sleeps move the clock and the players' arrivals happen when the clock
// passes them.
class World final : private WorldPort {
 public:
  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // The platform interfaces, for a Library to be built on.
  platform::Services services();

  // Every call through the platform interfaces holds this, so that threads
  // of a host application may call the library at once (the library's own
  // guard decides which of them proceed).
  std::unique_lock<std::recursive_mutex> lock() const override {
    return std::unique_lock<std::recursive_mutex>(mutex_);
  }

  VirtualClock& clock() { return clock_; }
  Transcript& transcript() { return transcript_; }
  Faults& faults() override { return faults_; }
  RegistryStore& registry() override { return registry_; }
  FileStore& files() override { return files_; }

  // --- The host -----------------------------------------------------------
  // Sets the version numbers, the product name and the registry keys that
  // version has. Players attached later leave that version's traces.
  void setOs(OsPreset os);
  OsPreset os() const { return os_; }
  platform::OsVersion osVersion() const override { return osVersion_; }
  void setOsVersion(platform::OsVersion version) { osVersion_ = version; }
  // A 64-bit Windows: it has the NtVdm64 hotfix key. Kept across setOs.
  void set64Bit(bool is64Bit);
  // The host process's executable (GetModuleFileNameA).
  void setModulePath(std::string path) { modulePath_ = std::move(path); }
  const std::string& modulePath() const override { return modulePath_; }
  // A drive of the host's own (fixed disk, CD-ROM, card reader ...). A
  // removable one answers INQUIRY as some other vendor's device.
  void addHostDrive(char letter, platform::DriveType type, std::string fileSystem = "NTFS");
  void removeHostDrive(char letter);
  // Another HID interface on the host (keyboard, mouse ...).
  void addOtherHidInterface(std::string devicePath);
  // Another device in the host's device list.
  void addOtherDevice(std::string className, std::string instanceId);
  // The logical-drive mask as GetLogicalDrives reports it.
  std::uint32_t logicalDriveMask() const override;
  // Registry keys the library holds open.
  std::size_t openRegistryKeyCount() const;

  // --- Players ------------------------------------------------------------
  // Attaches a player now, in its configured initial mode.
  Player& addPlayer(PlayerConfig config = {});
  Player& player(std::size_t index = 0) override { return *players_.at(index); }
  std::size_t playerCount() const override { return players_.size(); }
  // Pulls the player out / plugs it back in at a virtual time (now or later).
  // Plugged in, it starts its firmware if the firmware drives hold one, else
  // its ROM's recovery mode.
  void unplug(std::size_t index, std::uint64_t atMs);
  void plugIn(std::size_t index, std::uint64_t atMs);
  // Plugs the player in with its recovery button held: it comes up in its
  // ROM's recovery mode whatever its drives hold.
  void plugInForRecovery(std::size_t index, std::uint64_t atMs);
  // Handles the library holds open (volumes, disks, HID devices).
  std::size_t openHandleCount() const { return handles_.size(); }
  // The device path of a player's ROM recovery HID interface.
  std::string recoveryHidPath(std::size_t index) const;
  // Writes a player's data drive - the whole disk, or only the first
  // partition its partition table describes - into an image file on the
  // real machine, sparse where the file system allows, for outside tools to
  // read.
  bool exportDataDrive(std::size_t index, const std::string& path) const;
  bool exportDataVolume(std::size_t index, const std::string& path) const;

  // --- Running object table -----------------------------------------------
  // Objects registered and not revoked, by cookie.
  std::vector<std::uint32_t> runningCookies() const;
  platform::ComUnknown* runningObject(std::uint32_t cookie) const;

  // --- Time ---------------------------------------------------------------
  // What Clock::sleep does: the clock moves on and due changes happen.
  void sleep(std::uint32_t milliseconds) override;
  // Sleeps also take their time on the real clock, for a person watching an
  // update; the virtual clock moves as before.
  void setRealTime(bool realTime) { realTime_ = realTime; }
  bool realTime() const { return realTime_; }
  void schedule(std::uint64_t atMs, std::function<void()> action);
  // What a stalled request (Faults::stallScsi) does: by default it waits
  // its time in real time; a handler may let it go sooner.
  void setStallHandler(std::function<void(std::uint32_t ms)> handler) {
    stallHandler_ = std::move(handler);
  }
  void stall(std::uint32_t milliseconds) override;

 private:
  struct Scheduled {
    std::uint64_t at;
    std::uint64_t order;
    std::function<void()> action;
  };

  // WorldPort: what the backends reach.
  WorldPort& port() { return *this; }
  void record(Event event) override;
  const HostDrive* hostDrive(char letter) const override;
  std::vector<HidEntry> hidInterfaces() const override;
  std::vector<std::pair<std::string, std::string>> presentDevices() const override;
  int playerAtLetter(char letter) const override;
  void playerLeaves(std::size_t index, Leaving why) override;

  // The host's side of a player's mode change: where it is mounted, the
  // registry traces its volume leaves, the transcript.
  void playerChanged(std::size_t index);
  void leaveMountedTraces(std::size_t index);
  void runDue();
  std::optional<std::uint64_t> nextDueTime() const;

  mutable std::recursive_mutex mutex_;
  VirtualClock clock_;
  Transcript transcript_;
  Faults faults_;
  RegistryStore registry_;
  FileStore files_;

  OsPreset os_ = OsPreset::Windows7;
  platform::OsVersion osVersion_{6, 1};
  std::string modulePath_ = "C:\\Program Files\\Korvane\\Tessio Updater\\TessioUpdater.exe";
  std::map<char, HostDrive> hostDrives_;
  std::vector<std::string> otherHid_;
  std::vector<std::pair<std::string, std::string>> otherDevices_;
  std::vector<std::unique_ptr<Player>> players_;

  HandleTable handles_;
  std::vector<Scheduled> scheduled_;
  std::uint64_t scheduleOrder_ = 0;
  bool realTime_ = false;
  std::function<void(std::uint32_t)> stallHandler_;

  std::unique_ptr<SimVolumeIo> volumes_;
  std::unique_ptr<SimDeviceEnumeration> devices_;
  std::unique_ptr<SimHid> hid_;
  std::unique_ptr<SimRegistry> registryApi_;
  std::unique_ptr<SimFileSystem> fileSystem_;
  std::unique_ptr<SimHostServices> host_;
};

// Registry paths the host's traces are written under.
namespace reg_path {
inline constexpr const char* kCurrentVersion = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr const char* kNtVdm64 =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\NtVdm64";
inline constexpr const char* kMountedDevices = "SYSTEM\\MountedDevices";
inline constexpr const char* kUsbStorPlayer =
    "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\Disk&Ven_Korvane&Prod_Tessio_Mirl&Rev_0100";
inline constexpr const char* kAutoplayHandlers =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers";
inline constexpr const char* kCancelAutoplayClsid =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers\\CancelAutoplay\\CLSI"
    "D";
}  // namespace reg_path

}  // namespace kx7::sim
