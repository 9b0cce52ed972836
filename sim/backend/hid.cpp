#include "sim/backend/backends.h"
#include "sim/host/text.h"

namespace kx7::sim {

platform::Handle SimHid::open(std::string_view devicePath) {
  const auto guard = world_.lock();
  Target target{TargetKind::OtherHid, std::string(devicePath)};
  bool found = false;
  for (const auto& entry : world_.hidInterfaces()) {
    if (!SameText(entry.path, devicePath)) continue;
    found = true;
    if (entry.player >= 0) {
      target.kind = TargetKind::HidDevice;
      target.player = entry.player;
      target.generation = world_.player(static_cast<std::size_t>(entry.player)).generation;
      if (world_.faults().hidOpenFails()) found = false;
    }
    break;
  }
  const platform::Handle handle = found ? handles_.open(target) : platform::Handle::invalid();
  world_.record(Event{.kind = EventKind::Open,
                      .target = std::string(devicePath),
                      .value = handle.value(),
                      .ok = found});
  return handle;
}

void SimHid::close(platform::Handle handle) {
  const auto guard = world_.lock();
  CloseRecorded(world_, handles_, handle);
}

bool SimHid::readCaps(platform::Handle handle, platform::HidCaps& caps, std::uint32_t& status) {
  const auto guard = world_.lock();
  Target* t = handles_.find(handle);
  Player* p = t && t->kind == TargetKind::HidDevice ? LivePlayer(world_, *t) : nullptr;
  bool ok = t && (t->kind == TargetKind::OtherHid || p) && !world_.faults().hidCapsFails();
  if (ok) {
    caps = {};
    caps.usagePage = 0xFF00;
    caps.usage = 0x0001;
    caps.inputReportByteLength = p ? p->config.hidInputReportLength : 9;
    caps.outputReportByteLength = p ? p->config.hidOutputReportLength : 0;
    status = world_.faults().hidCapsStatusFails()
                 ? 0xC0110001u  // HIDP_STATUS_INVALID_PREPARSED_DATA
                 : platform::kHidpStatusSuccess;
  }
  world_.record(Event{.kind = EventKind::HidCaps, .target = t ? t->path : std::string(), .ok = ok});
  return ok;
}

bool SimHid::writeReport(platform::Handle handle, std::span<const std::uint8_t> report) {
  const auto guard = world_.lock();
  Target* t = handles_.find(handle);
  Player* p = t && t->kind == TargetKind::HidDevice ? LivePlayer(world_, *t) : nullptr;
  // Every write counts towards a failing report, whatever becomes of it.
  const bool fails = world_.faults().takeHidReportFailure();
  // WriteFile to a HID device takes exactly one output report.
  const bool ok = p && p->mode == PlayerMode::RomRecovery &&
                  report.size() == p->config.hidOutputReportLength && !fails;
  world_.record(Event{.kind = EventKind::HidReport,
                      .target = t ? t->path : std::string(),
                      .bytes = {report.begin(), report.end()},
                      .length = static_cast<std::uint32_t>(report.size()),
                      .ok = ok});
  // The ROM starts the updater it was given: the HID device goes away and
  // the updater's mass-storage device comes up a little later.
  if (ok && p->receiveHidReport(report))
    world_.playerLeaves(static_cast<std::size_t>(t->player), Leaving::UpdaterDownloaded);
  return ok;
}

}  // namespace kx7::sim
