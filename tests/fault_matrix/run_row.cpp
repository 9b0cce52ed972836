#include "fault_matrix/run_row.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>

#include "api/library.h"
#include "kx7fw/kx7fw.h"
#include "sim/scenario/default_scenario.h"
#include "sim/scenario/sb_file.h"
#include "sim/scenario/scenario_faults.h"
#include "sim/world.h"
#include "support/sim_fixture.h"

namespace kx7::matrix {

namespace {

using platform::Handle;
using sim::EventKind;

constexpr std::uint32_t kSettleMs = 20000;

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
  return text;
}

bool StartsWith(std::span<const std::uint8_t> bytes, const std::vector<std::uint8_t>& prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// Stands between the library and the world's volumes and HID devices: it
// pulls the player out as the call a Gone fault names is made, and notes
// every handle the library opens and closes, so that a call through a handle
// it did not open in this run shows.
class Watch final : public platform::VolumeIo, public platform::HidTransport {
 public:
  Watch(sim::World& world, const platform::Services& real)
      : world_(world), volumes_(real.volumes), hid_(real.hid) {}

  void Arm(const Fault& fault) {
    armed_ = true;
    if (fault.kind == FaultKind::Gone) {
      gone_ = fault;
      goneCdb_ = test::Hex(fault.cdb);
    }
  }
  void Disarm() { armed_ = false; }
  bool Struck() const { return struck_; }
  const std::vector<std::string>& Violations() const { return violations_; }
  // Handles opened in this run and never closed.
  std::set<std::uintptr_t> LeftOpen() const {
    std::set<std::uintptr_t> open;
    std::set_difference(opened_.begin(), opened_.end(), closed_.begin(), closed_.end(),
                        std::inserter(open, open.begin()));
    return open;
  }

  // VolumeIo
  std::uint32_t logicalDriveMask() override {
    Strike(Call::DriveScan, {});
    return volumes_.logicalDriveMask();
  }
  platform::DriveType driveType(std::string_view root) override { return volumes_.driveType(root); }
  std::string fileSystemName(std::string_view root) override {
    return volumes_.fileSystemName(root);
  }
  Handle openDevice(std::string_view path) override { return Opened(volumes_.openDevice(path)); }
  void closeHandle(Handle h) override {
    Closed(h);
    volumes_.closeHandle(h);
  }
  bool scsiPassThrough(Handle h, std::span<std::uint8_t> request) override {
    Use(h, "SCSI request");
    if (request.size() >= 44 && request[6] <= 16)
      Strike(Call::Scsi, request.subspan(28, request[6]));
    return volumes_.scsiPassThrough(h, request);
  }
  bool lockVolume(Handle h) override {
    Use(h, "lock");
    Strike(Call::Lock, {});
    return volumes_.lockVolume(h);
  }
  // The release of a record left by an earlier run unlocks it: allowed.
  bool unlockVolume(Handle h) override { return volumes_.unlockVolume(h); }
  bool dismountVolume(Handle h) override {
    Use(h, "dismount");
    return volumes_.dismountVolume(h);
  }
  bool driveGeometry(Handle h, platform::DiskGeometry& g) override {
    Use(h, "geometry");
    return volumes_.driveGeometry(h, g);
  }
  bool deleteDriveLayout(Handle h) override {
    Use(h, "layout");
    return volumes_.deleteDriveLayout(h);
  }
  bool setDriveLayout(Handle h, std::span<const std::uint8_t> layout) override {
    Use(h, "layout");
    return volumes_.setDriveLayout(h, layout);
  }
  bool readAt(Handle h, std::uint64_t offset, std::span<std::uint8_t> out) override {
    Use(h, "sector read");
    return volumes_.readAt(h, offset, out);
  }
  bool writeAt(Handle h, std::uint64_t offset, std::span<const std::uint8_t> data) override {
    Use(h, "sector write");
    Strike(Call::RawWrite, {});
    return volumes_.writeAt(h, offset, data);
  }

  // HidTransport
  Handle open(std::string_view path) override { return Opened(hid_.open(path)); }
  void close(Handle h) override {
    Closed(h);
    hid_.close(h);
  }
  bool readCaps(Handle h, platform::HidCaps& caps, std::uint32_t& status) override {
    Use(h, "HID caps");
    return hid_.readCaps(h, caps, status);
  }
  bool writeReport(Handle h, std::span<const std::uint8_t> report) override {
    Use(h, "HID report");
    Strike(Call::HidReport, {});
    return hid_.writeReport(h, report);
  }

 private:
  Handle Opened(Handle h) {
    if (armed_ && h.isOpen()) opened_.insert(h.value());
    return h;
  }
  void Closed(Handle h) {
    if (armed_) closed_.insert(h.value());
  }
  void Use(Handle h, const char* what) {
    if (!armed_) return;
    if (!opened_.count(h.value()) || closed_.count(h.value()))
      violations_.push_back(std::string(what) + " through a handle not open in this run");
  }
  void Strike(Call call, std::span<const std::uint8_t> cdb) {
    if (!armed_ || gone_.kind != FaultKind::Gone || gone_.call != call || struck_) return;
    if (call == Call::Scsi && !StartsWith(cdb, goneCdb_)) return;
    if (++seen_ != gone_.nth) return;
    struck_ = true;
    world_.unplug(0, world_.clock().now());
  }

  sim::World& world_;
  platform::VolumeIo& volumes_;
  platform::HidTransport& hid_;
  bool armed_ = false;
  Fault gone_;
  std::vector<std::uint8_t> goneCdb_;
  std::uint32_t seen_ = 0;
  bool struck_ = false;
  std::set<std::uintptr_t> opened_;
  std::set<std::uintptr_t> closed_;
  std::vector<std::string> violations_;
};

// The default world with the player mounted at `letter`.
void BuildWorldWithPlayerAt(sim::World& world, char letter, sim::OsPreset host) {
  sim::World scratch;
  sim::BuildDefaultScenario(scratch);
  world.setOs(host);
  world.addHostDrive('D', platform::DriveType::CdRom, "CDFS");
  for (const std::string& file : scratch.files().filesIn(FirmwareFolder()))
    world.files().addFile(file, *scratch.files().file(file));
  sim::PlayerConfig config = scratch.player(0).config;
  config.letter = letter;
  sim::Player& player = world.addPlayer(config);
  player.drives = scratch.player(0).drives;
  player.rootFiles = scratch.player(0).rootFiles;
}

void BuildScenario(sim::World& world, Library& library, Scenario scenario, sim::OsPreset host) {
  const std::string folder = FirmwareFolder();
  switch (scenario) {
    case Scenario::PlayerOnY:
      BuildWorldWithPlayerAt(world, 'Y', host);
      return;
    case Scenario::PlayerOnZ:
      BuildWorldWithPlayerAt(world, 'Z', host);
      return;
    default:
      sim::BuildDefaultScenario(world);
      world.setOs(host);
      break;
  }
  switch (scenario) {
    case Scenario::PlayerInRecovery:
    case Scenario::PlayerInRecoveryOnXP: {
      if (scenario == Scenario::PlayerInRecoveryOnXP) world.setOs(sim::OsPreset::WindowsXP);
      DeviceInfo info{};
      library.GetDeviceInfo(kSerial, &info);
      world.unplug(0, world.clock().now());
      world.plugInForRecovery(0, world.clock().now());
      return;
    }
    case Scenario::BigFirmware:
      world.files().addFile(folder + "firmware.sb", sim::BuildSbFile({.productVersion = {3, 0, 1},
                                                                      .componentVersion = {3, 0, 1},
                                                                      .size = 3 * 1024 * 1024 + 17,
                                                                      .seed = 5}));
      return;
    case Scenario::ManyHidDevices:
      for (int i = 0; i < 70; ++i) {
        char path[128];
        std::snprintf(path, sizeof path,
                      "\\\\?\\hid#vid_1209&pid_%04x#8&%x&0&0000#{4d1e55b2-f16f-11cf-88cb-"
                      "001111000030}",
                      0x1000 + i, 0x3a000 + i);
        world.addOtherHidInterface(path);
      }
      return;
    case Scenario::WindowsXP:
      world.setOs(sim::OsPreset::WindowsXP);
      return;
    case Scenario::AfterFailedUpdate:
      world.faults().corruptDriveRead(0x50, 100);
      library.DoNormalUpdate(kSerial, folder.c_str());
      world.faults().clearDriveReadCorruption();
      world.unplug(0, world.clock().now());
      world.plugIn(0, world.clock().now());
      return;
    default:
      return;
  }
}

// The row's fault, read by the scenario loader as a scenario file's entry.
void ApplyFault(sim::World& world, const Fault& f) {
  const sim::scenario::Json entry = ScenarioEntry(f);
  if (entry.is_null()) return;
  sim::scenario::ReadFault(sim::scenario::Value(entry, "/faults/0"), {kSerial})(world);
}

// Whether the transcript shows the fault where it was aimed. Faults the
// transcript cannot show (file, registry, read-back) are judged by their
// effects alone.
bool StruckAsAimed(sim::World& world, const Fault& f, bool watchStruck) {
  const auto& events = world.transcript().events();
  const auto any = [&](EventKind kind) {
    return std::any_of(events.begin(), events.end(),
                       [&](const sim::Event& e) { return e.kind == kind && !e.ok; });
  };
  switch (f.kind) {
    case FaultKind::NotDelivered:
    case FaultKind::CheckCondition:
    case FaultKind::Altered:
    case FaultKind::Short: {
      const char* wanted = f.kind == FaultKind::NotDelivered     ? "not-delivered"
                           : f.kind == FaultKind::CheckCondition ? "check-condition"
                           : f.kind == FaultKind::Altered        ? "altered"
                                                                 : "short";
      const std::vector<std::uint8_t> prefix = test::Hex(f.cdb);
      std::uint32_t seen = 0;
      for (const sim::Event& e : events) {
        // Requests to a player that has left never reach the fault rules.
        if (e.kind != EventKind::Scsi || !StartsWith(e.bytes, prefix)) continue;
        if (++seen == f.nth) return e.outcome == wanted;
      }
      return false;
    }
    case FaultKind::Gone:
      return watchStruck;
    case FaultKind::LocksRefused:
      return any(EventKind::Lock);
    case FaultKind::UnlocksRefused:
      return any(EventKind::Unlock);
    case FaultKind::DismountsRefused:
      return any(EventKind::Dismount);
    case FaultKind::HidReport:
      return any(EventKind::HidReport);
    case FaultKind::HidCaps:
      return any(EventKind::HidCaps);
    case FaultKind::Geometry:
      return any(EventKind::Geometry);
    case FaultKind::SetLayout:
      return any(EventKind::SetLayout);
    case FaultKind::DeleteLayout:
      return any(EventKind::DeleteLayout);
    case FaultKind::FileCopy:
      return any(EventKind::FileCopy);
    default:
      return true;
  }
}

std::string VersionText(const sim::Player& player) {
  const sim::SimDrive* drive = player.driveByTag(0x50);
  if (!drive) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%d.%02d", drive->productVersion[0], drive->productVersion[1]);
  return text;
}

Content Classify(const sim::Player& player, std::uint8_t tag, const std::vector<std::uint8_t>& old,
                 const std::vector<std::uint8_t>& fresh) {
  const sim::SimDrive* drive = player.driveByTag(tag);
  if (!drive) return Content::Missing;
  const auto holds = [&](const std::vector<std::uint8_t>& image) {
    return !image.empty() && image.size() <= drive->sizeBytes &&
           drive->media.read(0, image.size()) == image;
  };
  if (holds(fresh)) return Content::New;
  const std::size_t span = static_cast<std::size_t>(
      std::min<std::uint64_t>(std::max(old.size(), fresh.size()), drive->sizeBytes));
  const auto bytes = drive->media.read(0, span);
  if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; }))
    return Content::Erased;
  if (holds(old)) return Content::Old;
  return Content::Partial;
}

std::string Field(const char* text) {
  return text[0] ? text : "-";
}

bool Under(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() &&
         std::equal(folder.begin(), folder.end(), path.begin(),
                    [](char a, char b) { return std::toupper(a) == std::toupper(b); });
}

constexpr std::uint8_t kTags[] = {0x50, 0x60, 0x70, 0xA0};
// How much of a drive's factory content stands for it.
constexpr std::uint64_t kOldSpan = 512 * 1024;

}  // namespace

Observed RunRow(const Row& row, sim::OsPreset host) {
  sim::World world;
  const platform::Services real = world.services();
  Watch watch(world, real);
  const platform::Services services{watch,    real.devices, watch,       real.registry, real.shell,
                                    real.com, real.files,   real.system, real.clock};
  Library library(services);
  BuildScenario(world, library, row.scenario, host);

  // What the drives held when the player left the factory, and the files the
  // row installs.
  std::array<std::vector<std::uint8_t>, 4> old;
  std::array<std::vector<std::uint8_t>, 4> fresh;
  sim::World factory;
  sim::BuildDefaultScenario(factory);
  for (std::size_t i = 0; i < 4; ++i) {
    const sim::SimDrive& drive = *factory.player(0).driveByTag(kTags[i]);
    old[i] = drive.media.read(0, std::min<std::uint64_t>(drive.sizeBytes, kOldSpan));
    const char* file = kTags[i] == 0xA0 ? "lba_nand_bootlet.sb" : "firmware.sb";
    fresh[i] = *world.files().file(FirmwareFolder() + file);
  }

  world.transcript().clear();
  ApplyFault(world, row.fault);
  watch.Arm(row.fault);

  Observed seen;
  const std::string folder = FirmwareFolder();
  switch (row.operation) {
    case Operation::MSCDeviceList: {
      char list[26] = {};
      seen.result = library.MSCDeviceList(list);
      seen.left.record = Field(list);
      break;
    }
    case Operation::GetDeviceInfo: {
      DeviceInfo info;
      std::memset(&info, 0x5A, sizeof info);
      seen.result = library.GetDeviceInfo(kSerial, &info);
      seen.left.record = Field(info.Mode) + " " + Field(info.DriveLetterText) + " " +
                         Field(info.FirmwareVersion) + " " + Field(info.RegionCode);
      break;
    }
    case Operation::NeedRecovery:
      seen.result = library.NeedRecovery(kSerial, folder.c_str());
      break;
    case Operation::DoNormalUpdate:
      seen.result = library.DoNormalUpdate(kSerial, folder.c_str());
      break;
    case Operation::DoRecoveryUpdate:
      seen.result = library.DoRecoveryUpdate(kSerial, folder.c_str());
      break;
  }
  watch.Disarm();
  std::vector<std::string>& broken = seen.violations;
  broken = watch.Violations();

  // --- Invariants of every operation ------------------------------------
  const std::vector<int> codes = CodesOf(row.operation);
  if (row.operation == Operation::MSCDeviceList
          ? seen.result < 0
          : std::find(codes.begin(), codes.end(), seen.result) == codes.end())
    broken.push_back("result " + std::to_string(seen.result) + " is not one of the export's");
  if (library.Busy()) broken.push_back("the busy flag is still set");
  std::uint32_t autoplay = 99;
  world.registry().dword(platform::RegistryRoot::CurrentUser, sim::reg_path::kAutoplayHandlers,
                         "DisableAutoplay", autoplay);
  if (autoplay != 0) broken.push_back("DisableAutoplay is " + std::to_string(autoplay));
  if (!world.runningCookies().empty()) broken.push_back("a running object is still registered");
  if (world.openRegistryKeyCount() != 0) broken.push_back("registry keys left open");

  const std::string backup = BackupFolder();
  const std::string playerRoot = std::string(1, world.player(0).config.letter) + ":\\";
  std::uint32_t resets = 0;
  for (const sim::Event& e : world.transcript().events()) {
    if (e.kind == EventKind::Directory && e.ok && !(e.target == "C:\\Temp" || e.target == backup))
      broken.push_back("folder created: " + e.target);
    if (e.kind == EventKind::FileCopy && e.ok && !Under(e.name, backup + "\\") &&
        !Under(e.name, playerRoot))
      broken.push_back("file copied to " + e.name);
    if (e.kind == EventKind::RegistryWrite && e.ok &&
        e.target.find(sim::reg_path::kAutoplayHandlers) == std::string::npos)
      broken.push_back("registry written: " + e.target);
    // A reset the device took drops the handle without closing it.
    if (e.kind == EventKind::Scsi && e.ok && e.bytes.size() >= 2 && e.bytes[0] == 0xC1 &&
        (e.bytes[1] == 0x42 || e.bytes[1] == 0x31))
      ++resets;
  }
  const DeviceSession* held = library.CurrentDevice();
  const std::set<std::uintptr_t> leftOpen = watch.LeftOpen();
  const bool heldFromThisRun = held && leftOpen.count(held->VolumeHandle.value());
  if (leftOpen.size() != resets + (heldFromThisRun ? 1 : 0))
    broken.push_back(std::to_string(leftOpen.size()) + " handles left open, " +
                     std::to_string(resets) + " dropped by resets");
  if (!StruckAsAimed(world, row.fault, watch.Struck()))
    broken.push_back("the fault did not strike where it was aimed");

  // --- What is left once the player has settled ---------------------------
  world.sleep(kSettleMs);
  const sim::Player& player = world.player(0);
  seen.left.mode = player.mode;
  for (std::size_t i = 0; i < 4; ++i)
    seen.left.drives[i] = Classify(player, kTags[i], old[i], fresh[i]);
  seen.left.version = VersionText(player);
  seen.left.held = held != nullptr;
  std::vector<std::string> names;
  for (const auto& [name, bytes] : player.rootFiles) names.push_back(name);
  seen.left.playerFiles = Joined(names);
  names.clear();
  for (const std::string& path : world.files().filesIn(backup))
    names.push_back(path.substr(path.rfind('\\') + 1));
  std::sort(names.begin(), names.end());
  seen.left.backup = Joined(names);
  return seen;
}

}  // namespace kx7::matrix
