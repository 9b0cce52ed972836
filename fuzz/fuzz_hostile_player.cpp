// A hostile player: the simulated player answers as usual except where the
// fuzzer says otherwise - a command not delivered, or delivered and answered
// with any bytes, a read-back altered, a report refused, capabilities made
// up, a lock, layout or dismount refused - while a host application's whole
// road runs against it. Whatever the player does, the library must return
// one of each export's codes, leave the busy flag clear, restore AutoPlay,
// revoke its running-object registration, and create or copy nothing on the
// host outside the player's backup folder.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "api/library.h"
#include "fuzz/fuzz_check.h"
#include "kx7fw/kx7fw.h"
#include "sim/backend/backends.h"
#include "sim/scenario/default_scenario.h"
#include "sim/world.h"
#include "util/byte_order.h"

namespace {

using kx7::platform::Handle;

// Where the player departs from its script: at the nth call through the
// seam, what it does instead.
class Script {
 public:
  enum class Act { Normal, Fail, Garble, Pretend };

  explicit Script(FuzzedDataProvider& input) : input_(input) { nextAt_ = NextIndex(); }

  Act Next() {
    const std::uint32_t call = calls_++;
    if (call != nextAt_ || input_.remaining_bytes() == 0) return Act::Normal;
    const auto act = static_cast<Act>(input_.ConsumeIntegralInRange<int>(1, 3));
    nextAt_ = call + NextIndex();
    return act;
  }
  // Fuzzer bytes over the start of `out`.
  void Garble(std::span<std::uint8_t> out) {
    const auto bytes = input_.ConsumeBytes<std::uint8_t>(
        input_.ConsumeIntegralInRange<std::size_t>(0, out.size()));
    std::copy(bytes.begin(), bytes.end(), out.begin());
  }
  std::uint16_t Number() { return input_.ConsumeIntegral<std::uint16_t>(); }

 private:
  std::uint32_t NextIndex() { return 1 + input_.ConsumeIntegralInRange<std::uint32_t>(0, 600); }

  FuzzedDataProvider& input_;
  std::uint32_t calls_ = 0;
  std::uint32_t nextAt_ = 0;
};

class HostileVolumes final : public kx7::platform::VolumeIo {
 public:
  HostileVolumes(kx7::platform::VolumeIo& real, Script& script) : real_(real), script_(script) {}
  std::uint32_t logicalDriveMask() override { return real_.logicalDriveMask(); }
  kx7::platform::DriveType driveType(std::string_view root) override {
    return real_.driveType(root);
  }
  std::string fileSystemName(std::string_view root) override { return real_.fileSystemName(root); }
  Handle openDevice(std::string_view path) override { return real_.openDevice(path); }
  void closeHandle(Handle h) override { real_.closeHandle(h); }
  bool scsiPassThrough(Handle h, std::span<std::uint8_t> request) override {
    switch (script_.Next()) {
      case Script::Act::Normal:
        return real_.scsiPassThrough(h, request);
      case Script::Act::Fail:
        return false;
      case Script::Act::Pretend:
        return true;  // "delivered", nothing moved
      case Script::Act::Garble: {
        if (!real_.scsiPassThrough(h, request)) return false;
        // Any answer in the data area the request names.
        const std::uint32_t offset = kx7::GetLe32(&request[20]);
        const std::uint32_t length = kx7::GetLe32(&request[12]);
        if (offset <= request.size() && length <= request.size() - offset)
          script_.Garble(request.subspan(offset, length));
        return true;
      }
    }
    return false;
  }
  bool lockVolume(Handle h) override { return Allowed() && real_.lockVolume(h); }
  bool unlockVolume(Handle h) override { return Allowed() && real_.unlockVolume(h); }
  bool dismountVolume(Handle h) override { return Allowed() && real_.dismountVolume(h); }
  bool driveGeometry(Handle h, kx7::platform::DiskGeometry& g) override {
    if (!Allowed() || !real_.driveGeometry(h, g)) return false;
    return true;
  }
  bool deleteDriveLayout(Handle h) override { return Allowed() && real_.deleteDriveLayout(h); }
  bool setDriveLayout(Handle h, std::span<const std::uint8_t> layout) override {
    return Allowed() && real_.setDriveLayout(h, layout);
  }
  bool readAt(Handle h, std::uint64_t offset, std::span<std::uint8_t> out) override {
    const Script::Act act = script_.Next();
    if (act == Script::Act::Fail) return false;
    if (!real_.readAt(h, offset, out)) return false;
    if (act == Script::Act::Garble) script_.Garble(out);
    return true;
  }
  bool writeAt(Handle h, std::uint64_t offset, std::span<const std::uint8_t> data) override {
    return Allowed() && real_.writeAt(h, offset, data);
  }

 private:
  bool Allowed() { return script_.Next() != Script::Act::Fail; }
  kx7::platform::VolumeIo& real_;
  Script& script_;
};

class HostileHid final : public kx7::platform::HidTransport {
 public:
  HostileHid(kx7::platform::HidTransport& real, Script& script) : real_(real), script_(script) {}
  Handle open(std::string_view path) override { return real_.open(path); }
  void close(Handle h) override { real_.close(h); }
  bool readCaps(Handle h, kx7::platform::HidCaps& caps, std::uint32_t& status) override {
    const Script::Act act = script_.Next();
    if (act == Script::Act::Fail || !real_.readCaps(h, caps, status)) return false;
    if (act == Script::Act::Garble) {
      caps.inputReportByteLength = script_.Number();
      caps.outputReportByteLength = script_.Number();
    }
    return true;
  }
  bool writeReport(Handle h, std::span<const std::uint8_t> report) override {
    return script_.Next() != Script::Act::Fail && real_.writeReport(h, report);
  }

 private:
  kx7::platform::HidTransport& real_;
  Script& script_;
};

bool OneOf(int code, std::initializer_list<int> allowed) {
  return std::find(allowed.begin(), allowed.end(), code) != allowed.end();
}

bool Under(const std::string& path, const std::string& folder) {
  return path.size() >= folder.size() &&
         std::equal(folder.begin(), folder.end(), path.begin(),
                    [](char a, char b) { return std::toupper(a) == std::toupper(b); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Script script(input);
  kx7::sim::World world;
  kx7::sim::BuildDefaultScenario(world);
  const kx7::platform::Services real = world.services();
  HostileVolumes volumes(real.volumes, script);
  HostileHid hid(real.hid, script);
  const kx7::platform::Services hostile{volumes,       real.devices, hid,
                                        real.registry, real.shell,   real.com,
                                        real.files,    real.system,  real.clock};
  kx7::Library library(hostile);
  const char* serial = kx7::sim::DefaultScenario::kSerial;
  const char* folder = kx7::sim::DefaultScenario::kFirmwareFolder;

  const auto invariants = [&] {
    KX7_FUZZ_CHECK(!library.Busy());
    std::uint32_t autoplay = 99;
    world.registry().dword(kx7::platform::RegistryRoot::CurrentUser,
                           kx7::sim::reg_path::kAutoplayHandlers, "DisableAutoplay", autoplay);
    KX7_FUZZ_CHECK(autoplay == 0);
    KX7_FUZZ_CHECK(world.runningCookies().empty());
  };

  char list[26];
  KX7_FUZZ_CHECK(library.MSCDeviceList(list) >= 0);
  DeviceInfo info;
  KX7_FUZZ_CHECK(OneOf(library.GetDeviceInfo(serial, &info), {0, 1, 5}));
  KX7_FUZZ_CHECK(OneOf(library.NeedRecovery(serial, folder), {0, 1}));
  invariants();
  KX7_FUZZ_CHECK(OneOf(library.DoNormalUpdate(serial, folder), {0, 2, 4, 6, 7, 8, 10}));
  invariants();
  world.sleep(10000);
  world.unplug(0, world.clock().now());
  world.plugInForRecovery(0, world.clock().now());
  KX7_FUZZ_CHECK(OneOf(library.DoRecoveryUpdate(serial, folder), {0, 4, 5, 6, 7, 8, 9, 10, 11}));
  invariants();

  // On the host, only the backup folder and its parent were made, and copies
  // went only into it or onto a player.
  const std::string temp = "C:\\Temp";
  const std::string backup = temp + "\\" + serial;
  for (const kx7::sim::Event& e : world.transcript().events()) {
    if (e.kind == kx7::sim::EventKind::Directory && e.ok)
      KX7_FUZZ_CHECK(e.target == temp || e.target == backup);
    if (e.kind == kx7::sim::EventKind::FileCopy && e.ok)
      KX7_FUZZ_CHECK(Under(e.name, backup + "\\") || Under(e.name, "E:\\"));
  }
  return 0;
}
