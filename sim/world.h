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
#include "sim/clock.h"
#include "sim/faults.h"
#include "sim/file_store.h"
#include "sim/player.h"
#include "sim/registry_store.h"
#include "sim/transcript.h"

namespace kx7::sim {

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
// interface in memory; the library cannot tell it from the real thing. All
// time is virtual: sleeps move the clock and the players' pending state
// changes happen when the clock passes them.
class World {
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
  std::unique_lock<std::recursive_mutex> lock() const {
    return std::unique_lock<std::recursive_mutex>(mutex_);
  }

  VirtualClock& clock() { return clock_; }
  Transcript& transcript() { return transcript_; }
  Faults& faults() { return faults_; }
  RegistryStore& registry() { return registry_; }
  FileStore& files() { return files_; }

  // --- The host -----------------------------------------------------------
  // Sets the version numbers, the product name and the registry keys that
  // version has. Players attached later leave that version's traces.
  void setOs(OsPreset os);
  OsPreset os() const { return os_; }
  platform::OsVersion osVersion() const { return osVersion_; }
  void setOsVersion(platform::OsVersion version) { osVersion_ = version; }
  // A 64-bit Windows: it has the NtVdm64 hotfix key. Kept across setOs.
  void set64Bit(bool is64Bit);
  // The host process's executable (GetModuleFileNameA).
  void setModulePath(std::string path) { modulePath_ = std::move(path); }
  const std::string& modulePath() const { return modulePath_; }
  // A drive of the host's own (fixed disk, CD-ROM, card reader ...). A
  // removable one answers INQUIRY as some other vendor's device.
  void addHostDrive(char letter, platform::DriveType type, std::string fileSystem = "NTFS");
  void removeHostDrive(char letter);
  // Another HID interface on the host (keyboard, mouse ...).
  void addOtherHidInterface(std::string devicePath);
  // Another device in the host's device list.
  void addOtherDevice(std::string className, std::string instanceId);
  // The logical-drive mask as GetLogicalDrives reports it.
  std::uint32_t logicalDriveMask() const;
  // Registry keys the library holds open.
  std::size_t openRegistryKeyCount() const;

  // --- Players ------------------------------------------------------------
  // Attaches a player now, in its configured initial mode.
  Player& addPlayer(PlayerConfig config = {});
  Player& player(std::size_t index = 0) { return *players_.at(index); }
  std::size_t playerCount() const { return players_.size(); }
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
  void sleep(std::uint32_t milliseconds);
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
  void stall(std::uint32_t milliseconds);

 private:
  friend class SimVolumeIo;
  friend class SimDeviceEnumeration;
  friend class SimHid;
  friend class SimRegistry;
  friend class SimFileSystem;
  friend class SimHostServices;

  enum class TargetKind { PlayerVolume, PlayerDisk, HidDevice, HostVolume, HostDisk, OtherHid };
  struct Target {
    TargetKind kind;
    std::string path;
    int player = -1;
    std::uint32_t generation = 0;
    char letter = 0;
    bool locked = false;
  };
  struct HostDrive {
    platform::DriveType type;
    std::string fileSystem;
  };
  struct Scheduled {
    std::uint64_t at;
    std::uint64_t order;
    std::function<void()> action;
  };
  struct HidEntry {
    std::string path;
    int player;  // -1: not a player
  };

  // Player state changes, with their traces in the device list, the
  // registry and the transcript.
  void setMode(std::size_t index, PlayerMode mode);
  void applyEffect(std::size_t index, PlayerEffect effect);
  void onDownloadComplete(std::size_t index);
  void leaveMountedTraces(std::size_t index);
  void runDue();
  std::optional<std::uint64_t> nextDueTime() const;

  // Handles.
  platform::Handle newHandle(Target target);
  Target* target(platform::Handle handle);
  // The target's player if the handle still reaches it.
  Player* livePlayer(const Target& target);
  int playerAtLetter(char letter) const;
  std::vector<HidEntry> hidInterfaceList() const;
  std::vector<std::pair<std::string, std::string>> deviceList() const;

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
  std::vector<std::uint64_t> epochs_;  // per player; stale scheduled changes are dropped

  std::map<std::uintptr_t, Target> handles_;
  std::uintptr_t nextHandle_ = 0x100;
  std::uint32_t hidReportsWritten_ = 0;
  std::map<std::uint32_t, platform::ComUnknown*> runningObjects_;
  std::uint32_t nextCookie_ = 0x1001;
  std::vector<Scheduled> scheduled_;
  std::uint64_t scheduleOrder_ = 0;
  bool realTime_ = false;
  std::function<void(std::uint32_t)> stallHandler_;

  std::unique_ptr<platform::VolumeIo> volumes_;
  std::unique_ptr<platform::DeviceEnumeration> devices_;
  std::unique_ptr<platform::HidTransport> hid_;
  std::unique_ptr<platform::Registry> registryApi_;
  std::unique_ptr<platform::FileSystem> fileSystem_;
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
