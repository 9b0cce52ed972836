#include "sim/world.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "sim/backend/backends.h"
#include "sim/host/text.h"

namespace kx7::sim {

using platform::RegistryRoot;

namespace {

constexpr const char* kPlayerUsbPrefix = "USB\\VID_3F1C&PID_7A52\\";
constexpr const char* kRomUsbPrefix = "USB\\VID_066F&PID_3770\\";
constexpr const char* kUpdaterUsbPrefix = "USB\\VID_066F&PID_A000\\";
constexpr const char* kDiskClassGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kRemovableMediaGuid = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kHidInterfaceGuid = "{4d1e55b2-f16f-11cf-88cb-001111000030}";

// A parent-id prefix of the kind Windows 2000/XP derives for a device.
std::string ParentIdPrefixFor(const std::string& serial) {
  std::uint32_t hash = 2166136261u;
  for (char c : serial) hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
  char text[32];
  std::snprintf(text, sizeof text, "7&%x&0", hash & 0x0FFFFFFF);
  return text;
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

}  // namespace

World::World()
    : volumes_(std::make_unique<SimVolumeIo>(port(), handles_)),
      devices_(std::make_unique<SimDeviceEnumeration>(port())),
      hid_(std::make_unique<SimHid>(port(), handles_)),
      registryApi_(std::make_unique<SimRegistry>(port())),
      fileSystem_(std::make_unique<SimFileSystem>(port())),
      host_(std::make_unique<SimHostServices>(port())) {
  addHostDrive('C', platform::DriveType::Fixed, "NTFS");
  files_.addDirectory("C:\\");
  otherDevices_ = {
      {"System", "ACPI\\PNP0A08\\0"},
      {"USB", "USB\\ROOT_HUB20\\4&2F8A61C&0"},
      {"HIDClass", "HID\\VID_046D&PID_C31C&MI_00\\7&1A2B3C4D&0&0000"},
      {"Keyboard", "HID\\VID_046D&PID_C31C&MI_00\\7&1A2B3C4D&0&0000"},
      {"USB", "USB\\VID_046D&PID_C31C\\5&3B29A1F&0&1"},
  };
  otherHid_ = {
      std::string("\\\\?\\hid#vid_046d&pid_c31c&mi_00#7&1a2b3c4d&0&0000#") + kHidInterfaceGuid,
      std::string("\\\\?\\hid#vid_046d&pid_c077#7&2d3e4f50&0&0000#") + kHidInterfaceGuid,
  };
  setOs(OsPreset::Windows7);
}

World::~World() = default;

platform::Services World::services() {
  return platform::Services{*volumes_, *devices_,    *hid_,  *registryApi_, *host_,
                            *host_,    *fileSystem_, *host_, *host_};
}

// --- Host --------------------------------------------------------------------

void World::setOs(OsPreset os) {
  struct Preset {
    platform::OsVersion version;  // as GetVersionExA tells an unmanifested process
    const char* productName;
    const char* currentVersion;
    const char* currentBuild;
    // Windows 10 and 11 only: the true version, and the release name.
    std::uint32_t majorVersionNumber;
    const char* displayVersion;
  };
  static const std::map<OsPreset, Preset> kPresets = {
      {OsPreset::Windows2000, {{5, 0}, "Microsoft Windows 2000", "5.0", "2195", 0, nullptr}},
      {OsPreset::WindowsXP, {{5, 1}, "Microsoft Windows XP", "5.1", "2600", 0, nullptr}},
      {OsPreset::Server2003, {{5, 2}, "Microsoft Windows Server 2003", "5.2", "3790", 0, nullptr}},
      {OsPreset::Vista, {{6, 0}, "Windows Vista (TM) Ultimate", "6.0", "6002", 0, nullptr}},
      {OsPreset::Windows7, {{6, 1}, "Windows 7 Professional", "6.1", "7601", 0, nullptr}},
      {OsPreset::Windows81, {{6, 2}, "Windows 8.1 Pro", "6.3", "9600", 0, nullptr}},
      {OsPreset::Windows10, {{6, 2}, "Windows 10 Pro", "6.3", "19045", 10, "22H2"}},
      // Windows 11 keeps the product name of 10; only the build tells them apart.
      {OsPreset::Windows11, {{6, 2}, "Windows 10 Pro", "6.3", "22631", 10, "23H2"}},
  };
  const Preset& preset = kPresets.at(os);
  os_ = os;
  osVersion_ = preset.version;
  const auto at = [&](const char* name, const char* text) {
    if (text)
      registry_.setString(RegistryRoot::LocalMachine, reg_path::kCurrentVersion, name, text);
    else
      registry_.removeValue(RegistryRoot::LocalMachine, reg_path::kCurrentVersion, name);
  };
  at("ProductName", preset.productName);
  at("CurrentVersion", preset.currentVersion);
  at("CurrentBuild", preset.currentBuild);
  at("CurrentBuildNumber", preset.currentBuild);
  at("DisplayVersion", preset.displayVersion);
  for (const char* name : {"CurrentMajorVersionNumber", "CurrentMinorVersionNumber"})
    registry_.removeValue(RegistryRoot::LocalMachine, reg_path::kCurrentVersion, name);
  if (preset.majorVersionNumber) {
    registry_.setDword(RegistryRoot::LocalMachine, reg_path::kCurrentVersion,
                       "CurrentMajorVersionNumber", preset.majorVersionNumber);
    registry_.setDword(RegistryRoot::LocalMachine, reg_path::kCurrentVersion,
                       "CurrentMinorVersionNumber", 0);
  }
  registry_.createKey(RegistryRoot::LocalMachine, reg_path::kMountedDevices);
  registry_.createKey(RegistryRoot::CurrentUser, reg_path::kAutoplayHandlers);
  if (osVersion_.major >= 6 &&
      !registry_.value(RegistryRoot::CurrentUser, reg_path::kAutoplayHandlers, "DisableAutoplay"))
    registry_.setDword(RegistryRoot::CurrentUser, reg_path::kAutoplayHandlers, "DisableAutoplay",
                       0);
  // The system disk's mounted-devices entry: a disk signature and offset.
  registry_.setValue(RegistryRoot::LocalMachine, reg_path::kMountedDevices,
                     "\\DosDevices\\C:", platform::RegistryType::Binary,
                     {0x9A, 0x3C, 0x41, 0x7E, 0x00, 0x7E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  for (std::size_t i = 0; i < players_.size(); ++i) leaveMountedTraces(i);
}

void World::set64Bit(bool is64Bit) {
  if (is64Bit)
    registry_.createKey(RegistryRoot::LocalMachine, reg_path::kNtVdm64);
  else
    registry_.removeKey(RegistryRoot::LocalMachine, reg_path::kNtVdm64);
}

std::size_t World::openRegistryKeyCount() const {
  return registryApi_->openKeyCount();
}

void World::addHostDrive(char letter, platform::DriveType type, std::string fileSystem) {
  hostDrives_[UpperLetter(letter)] = {type, std::move(fileSystem)};
  files_.addDirectory(std::string(1, letter) + ":\\");
}

void World::removeHostDrive(char letter) {
  hostDrives_.erase(UpperLetter(letter));
}

void World::addOtherHidInterface(std::string devicePath) {
  otherHid_.push_back(std::move(devicePath));
}

void World::addOtherDevice(std::string className, std::string instanceId) {
  otherDevices_.emplace_back(std::move(className), std::move(instanceId));
}

std::uint32_t World::logicalDriveMask() const {
  std::uint32_t mask = 0;
  for (const auto& [letter, drive] : hostDrives_) mask |= 1u << (letter - 'A');
  for (const auto& p : players_)
    if (p->letter) mask |= 1u << (p->letter - 'A');
  return mask;
}

int World::playerAtLetter(char letter) const {
  for (std::size_t i = 0; i < players_.size(); ++i)
    if (players_[i]->letter != 0 && players_[i]->letter == letter) return static_cast<int>(i);
  return -1;
}

// --- Players -------------------------------------------------------------------

Player& World::addPlayer(PlayerConfig config) {
  const PlayerMode initial = config.initialMode;
  players_.push_back(std::make_unique<Player>(std::move(config)));
  players_.back()->enter(initial);
  playerChanged(players_.size() - 1);
  return *players_.back();
}

std::string World::recoveryHidPath(std::size_t index) const {
  char text[160];
  std::snprintf(text, sizeof text, "\\\\?\\hid#vid_066f&pid_3770#6&%x&0&0000#%s",
                static_cast<unsigned>(0x2c4a7b1f + index), kHidInterfaceGuid);
  return text;
}

void World::playerChanged(std::size_t index) {
  Player& p = *players_[index];
  switch (p.mode) {
    case PlayerMode::Normal:
      p.letter = p.config.letter;
      break;
    case PlayerMode::Updater:
      p.letter = p.config.updaterLetter ? p.config.updaterLetter : p.config.letter;
      break;
    default:
      p.letter = 0;
      break;
  }
  leaveMountedTraces(index);
  transcript_.add(Event{.kind = EventKind::Player,
                        .time = clock_.now(),
                        .target = p.config.serial,
                        .name = ToString(p.mode)});
}

void World::leaveMountedTraces(std::size_t index) {
  const Player& p = *players_[index];
  if (p.letter == 0) return;  // Windows keeps what it wrote while the device was there
  const std::string valueName = std::string("\\DosDevices\\") + p.letter + ":";
  std::string devicePath;
  if (p.mode == PlayerMode::Updater) {
    devicePath = std::string("\\??\\USBSTOR#Disk&Ven__Generic&Prod_MSC_Recovery&Rev_0001#") +
                 p.config.serial + "&0#" + kDiskClassGuid;
  } else if (osVersion_.major >= 6) {
    devicePath = std::string("\\??\\USBSTOR#Disk&Ven_Korvane&Prod_Tessio_Mirl&Rev_0100#") +
                 p.config.serial + "&0#" + kDiskClassGuid;
  } else {
    const std::string prefix = ParentIdPrefixFor(p.config.serial);
    registry_.setString(RegistryRoot::LocalMachine,
                        std::string(reg_path::kUsbStorPlayer) + "\\" + p.config.serial + "&0",
                        "ParentIdPrefix", prefix);
    devicePath = "\\??\\STORAGE#RemovableMedia#" + prefix + "&RM#" + kRemovableMediaGuid;
  }
  registry_.setValue(RegistryRoot::LocalMachine, reg_path::kMountedDevices, valueName,
                     platform::RegistryType::Binary, Bytes(Utf16Le(devicePath)));
}

void World::playerLeaves(std::size_t index, Leaving why) {
  const std::optional<Arrival> arrival = players_[index]->leave(why);
  playerChanged(index);
  if (!arrival) return;
  schedule(clock_.now() + arrival->delayMs, [this, index, arrival = *arrival] {
    if (players_[index]->arrive(arrival)) playerChanged(index);
  });
}

void World::unplug(std::size_t index, std::uint64_t atMs) {
  schedule(atMs, [this, index] { playerLeaves(index, Leaving::Unplugged); });
  runDue();
}

void World::plugIn(std::size_t index, std::uint64_t atMs) {
  schedule(atMs, [this, index] {
    players_[index]->plugIn();
    playerChanged(index);
  });
  runDue();
}

void World::plugInForRecovery(std::size_t index, std::uint64_t atMs) {
  schedule(atMs, [this, index] {
    players_[index]->plugIn(true);
    playerChanged(index);
  });
  runDue();
}

// --- Time ------------------------------------------------------------------------

void World::schedule(std::uint64_t atMs, std::function<void()> action) {
  scheduled_.push_back({atMs, scheduleOrder_++, std::move(action)});
}

std::optional<std::uint64_t> World::nextDueTime() const {
  std::optional<std::uint64_t> next;
  for (const Scheduled& s : scheduled_)
    if (!next || s.at < *next) next = s.at;
  return next;
}

void World::runDue() {
  // Earliest first; changes due at the same time in the order they were
  // scheduled.
  for (;;) {
    auto due = std::min_element(scheduled_.begin(), scheduled_.end(),
                                [](const Scheduled& a, const Scheduled& b) {
                                  return a.at != b.at ? a.at < b.at : a.order < b.order;
                                });
    if (due == scheduled_.end() || due->at > clock_.now()) return;
    auto action = std::move(due->action);
    scheduled_.erase(due);
    action();
  }
}

void World::sleep(std::uint32_t milliseconds) {
  // A real wait does not hold up the other threads' calls.
  if (realTime_) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  const auto guard = lock();
  // Changes due during the sleep happen at their own time.
  const std::uint64_t end = clock_.now() + milliseconds;
  for (auto next = nextDueTime(); next && *next <= end; next = nextDueTime()) {
    if (*next > clock_.now()) clock_.advance(*next - clock_.now());
    runDue();
  }
  clock_.advance(end - clock_.now());
  transcript_.add(Event{.kind = EventKind::Sleep, .time = clock_.now(), .value = milliseconds});
  runDue();
}

void World::stall(std::uint32_t milliseconds) {
  if (stallHandler_)
    stallHandler_(milliseconds);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// --- What the backends reach -----------------------------------------------------

void World::record(Event event) {
  event.time = clock_.now();
  transcript_.add(std::move(event));
}

const HostDrive* World::hostDrive(char letter) const {
  const auto it = hostDrives_.find(letter);
  return it == hostDrives_.end() ? nullptr : &it->second;
}

std::vector<HidEntry> World::hidInterfaces() const {
  std::vector<HidEntry> list;
  for (const std::string& path : otherHid_) list.push_back({path, -1});
  for (std::size_t i = 0; i < players_.size(); ++i)
    if (players_[i]->mode == PlayerMode::RomRecovery)
      list.push_back({recoveryHidPath(i), static_cast<int>(i)});
  return list;
}

std::vector<std::pair<std::string, std::string>> World::presentDevices() const {
  std::vector<std::pair<std::string, std::string>> list = otherDevices_;
  for (const auto& p : players_) {
    switch (p->mode) {
      case PlayerMode::Normal:
        list.emplace_back("USB", kPlayerUsbPrefix + p->config.serial);
        list.emplace_back("DiskDrive", "USBSTOR\\DISK&VEN_KORVANE&PROD_TESSIO_MIRL&REV_0100\\" +
                                           p->config.serial + "&0");
        break;
      case PlayerMode::Updater:
        list.emplace_back("USB", kUpdaterUsbPrefix + p->config.serial);
        break;
      case PlayerMode::RomRecovery:
        list.emplace_back("USB", std::string(kRomUsbPrefix) + "5&1F2E3D4C&0&2");
        list.emplace_back("HIDClass", "HID\\VID_066F&PID_3770\\6&2C4A7B1F&0&0000");
        break;
      default:
        break;
    }
  }
  return list;
}

bool World::exportDataDrive(std::size_t index, const std::string& path) const {
  const SimDrive* data = players_.at(index)->dataDrive();
  return data && data->media.exportTo(path, 0, data->sizeBytes);
}

bool World::exportDataVolume(std::size_t index, const std::string& path) const {
  const Player& p = *players_.at(index);
  const SimDrive* data = p.dataDrive();
  if (!data) return false;
  const auto partition = p.partitionInTable();
  const std::uint64_t offset = partition ? partition->offset : 0;
  const std::uint64_t length = partition ? partition->length : data->sizeBytes;
  return data->media.exportTo(path, offset, length);
}

std::vector<std::uint32_t> World::runningCookies() const {
  return host_->runningCookies();
}

platform::ComUnknown* World::runningObject(std::uint32_t cookie) const {
  return host_->runningObject(cookie);
}

}  // namespace kx7::sim
