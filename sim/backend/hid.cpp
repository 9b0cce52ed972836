#include "sim/backend/backends.h"
#include "sim/host/text.h"
#include "sim/world.h"

namespace kx7::sim {

platform::Handle SimHid::open(std::string_view devicePath) {
  const auto guard = world_.lock();
  World::Target target{World::TargetKind::OtherHid, std::string(devicePath)};
  bool found = false;
  for (const auto& entry : world_.hidInterfaceList()) {
    if (!SameText(entry.path, devicePath)) continue;
    found = true;
    if (entry.player >= 0) {
      target.kind = World::TargetKind::HidDevice;
      target.player = entry.player;
      target.generation = world_.player(static_cast<std::size_t>(entry.player)).generation;
      if (world_.faults_.hidOpenFails()) found = false;
    }
    break;
  }
  const platform::Handle handle = found ? world_.newHandle(target) : platform::Handle::invalid();
  world_.transcript_.add(Event{.kind = EventKind::Open,
                               .time = world_.clock_.now(),
                               .target = std::string(devicePath),
                               .value = handle.value(),
                               .ok = found});
  return handle;
}

void SimHid::close(platform::Handle handle) {
  const auto guard = world_.lock();
  World::Target* t = world_.target(handle);
  world_.transcript_.add(Event{.kind = EventKind::Close,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .value = handle.value(),
                               .ok = t != nullptr});
  world_.handles_.erase(handle.value());
}

bool SimHid::readCaps(platform::Handle handle, platform::HidCaps& caps, std::uint32_t& status) {
  const auto guard = world_.lock();
  World::Target* t = world_.target(handle);
  Player* p = t && t->kind == World::TargetKind::HidDevice ? world_.livePlayer(*t) : nullptr;
  bool ok = t && (t->kind == World::TargetKind::OtherHid || p) && !world_.faults_.hidCapsFails();
  if (ok) {
    caps = {};
    caps.usagePage = 0xFF00;
    caps.usage = 0x0001;
    caps.inputReportByteLength = p ? p->config.hidInputReportLength : 9;
    caps.outputReportByteLength = p ? p->config.hidOutputReportLength : 0;
    status = world_.faults_.hidCapsStatusFails()
                 ? 0xC0110001u  // HIDP_STATUS_INVALID_PREPARSED_DATA
                 : platform::kHidpStatusSuccess;
  }
  world_.transcript_.add(Event{.kind = EventKind::HidCaps,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .ok = ok});
  return ok;
}

bool SimHid::writeReport(platform::Handle handle, std::span<const std::uint8_t> report) {
  const auto guard = world_.lock();
  World::Target* t = world_.target(handle);
  Player* p = t && t->kind == World::TargetKind::HidDevice ? world_.livePlayer(*t) : nullptr;
  const std::uint32_t k = ++world_.hidReportsWritten_;
  // WriteFile to a HID device takes exactly one output report.
  const bool ok = p && p->mode == PlayerMode::RomRecovery &&
                  report.size() == p->config.hidOutputReportLength &&
                  !world_.faults_.hidReportFails(k);
  world_.transcript_.add(Event{.kind = EventKind::HidReport,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .bytes = {report.begin(), report.end()},
                               .length = static_cast<std::uint32_t>(report.size()),
                               .ok = ok});
  if (ok && p->receiveHidReport(report))
    world_.onDownloadComplete(static_cast<std::size_t>(t->player));
  return ok;
}

}  // namespace kx7::sim
