#include "sim/scenario_faults.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace kx7::sim::scenario {

namespace {

constexpr std::uint64_t kMaxU32 = UINT32_MAX;

std::size_t PlayerIndex(const Value& value, const std::vector<std::string>& serials) {
  if (value.json().is_string() && value.json().get<std::string>().rfind("0x", 0) != 0) {
    const std::string serial = value.text();
    const auto it = std::find(serials.begin(), serials.end(), serial);
    if (it == serials.end()) value.refuse("no player has the serial \"" + serial + "\"");
    return static_cast<std::size_t>(it - serials.begin());
  }
  if (serials.empty()) value.refuse("there is no player");
  return value.integer(0, serials.size() - 1);
}

// A count of refusals: a number, or "always".
std::uint32_t Count(const Value& value) {
  if (value.json().is_string() && value.json().get<std::string>() == "always") return UINT32_MAX;
  return static_cast<std::uint32_t>(value.integer(1, kMaxU32));
}

}  // namespace

std::function<void(World&)> ReadFault(const Value& entry, const std::vector<std::string>& serials) {
  if (!entry.json().is_object()) entry.refuse("not an object");
  const auto kindIt = entry.json().find("fault");
  if (kindIt == entry.json().end()) entry.refuse("missing key \"fault\"");
  const Value kindValue(*kindIt, ChildPointer(entry.pointer(), "fault"));
  const std::string kind = kindValue.text();
  const auto keys = [&](std::vector<std::string_view> more) {
    more.push_back("fault");
    return Object(entry, std::move(more));
  };
  using Action = std::function<void(World&)>;

  if (kind == "scsi-not-delivered" || kind == "scsi-check-condition") {
    const Object o = keys({"opcode", "operation", "nth", "times"});
    const auto opcode = static_cast<std::uint8_t>(o.need("opcode").integer(0, 255));
    std::optional<std::uint8_t> operation;
    if (auto v = o.get("operation")) operation = static_cast<std::uint8_t>(v->integer(0, 255));
    const auto nth =
        static_cast<std::uint32_t>(o.get("nth") ? o.get("nth")->integer(1, kMaxU32) : 1);
    const auto times =
        static_cast<std::uint32_t>(o.get("times") ? o.get("times")->integer(0, kMaxU32) : 1);
    if (kind == "scsi-not-delivered")
      return [=](World& w) { w.faults().failScsi(opcode, operation, nth, times); };
    return [=](World& w) { w.faults().rejectScsi(opcode, operation, nth, times); };
  }
  if (kind == "stall") {
    const Object o = keys({"opcode", "operation", "nth", "ms"});
    std::vector<std::uint8_t> prefix{static_cast<std::uint8_t>(o.need("opcode").integer(0, 255))};
    if (auto v = o.get("operation"))
      prefix.push_back(static_cast<std::uint8_t>(v->integer(0, 255)));
    const auto nth =
        static_cast<std::uint32_t>(o.get("nth") ? o.get("nth")->integer(1, kMaxU32) : 1);
    const auto ms = static_cast<std::uint32_t>(o.need("ms").integer(1, 3600000));
    return [=](World& w) { w.faults().stallScsi(prefix, nth, ms); };
  }
  if (kind == "refuse-lock" || kind == "refuse-unlock" || kind == "refuse-dismount") {
    const Object o = keys({"count"});
    const std::uint32_t count = Count(o.need("count"));
    if (kind == "refuse-lock") return [=](World& w) { w.faults().refuseLocks(count); };
    if (kind == "refuse-unlock") return [=](World& w) { w.faults().refuseUnlocks(count); };
    return [=](World& w) { w.faults().refuseDismounts(count); };
  }
  if (kind == "corrupt-drive-read") {
    const Object o = keys({"tag", "offset"});
    const auto tag = static_cast<std::uint8_t>(o.need("tag").integer(0, 255));
    const std::uint64_t offset = o.need("offset").bytes();
    return [=](World& w) { w.faults().corruptDriveRead(tag, offset); };
  }
  if (kind == "corrupt-data-drive-read") {
    const std::uint64_t offset = keys({"offset"}).need("offset").bytes();
    return [=](World& w) { w.faults().corruptDataDriveRead(offset); };
  }
  if (kind == "fail-hid-enumeration" || kind == "fail-hid-detail") {
    const auto index =
        static_cast<std::uint32_t>(keys({"index"}).need("index").integer(0, kMaxU32));
    if (kind == "fail-hid-enumeration")
      return [=](World& w) { w.faults().failHidEnumerationAt(index); };
    return [=](World& w) { w.faults().failHidDetailAt(index); };
  }
  if (kind == "fail-hid-report") {
    const auto report =
        static_cast<std::uint32_t>(keys({"report"}).need("report").integer(1, kMaxU32));
    return [=](World& w) { w.faults().failHidReport(report); };
  }
  static const std::pair<const char*, void (Faults::*)()> kSwitches[] = {
      {"fail-geometry", &Faults::failGeometry},
      {"fail-set-layout", &Faults::failSetLayout},
      {"fail-hid-interface-set", &Faults::failHidInterfaceSet},
      {"fail-hid-open", &Faults::failHidOpen},
      {"fail-hid-caps", &Faults::failHidCaps},
      {"fail-hid-caps-status", &Faults::failHidCapsStatus},
  };
  for (const auto& [name, rule] : kSwitches) {
    if (kind != name) continue;
    keys({});
    return [rule = rule](World& w) { (w.faults().*rule)(); };
  }
  if (kind == "fail-file-open") {
    const std::string path = keys({"path"}).need("path").text();
    return [=](World& w) { w.faults().failFileOpen(path); };
  }
  if (kind == "shrink-file") {
    const Object o = keys({"path", "size"});
    const std::string path = o.need("path").text();
    const std::uint64_t size = o.need("size").bytes();
    return [=](World& w) { w.faults().shrinkFile(path, size); };
  }
  if (kind == "fail-file-copy") {
    const std::string destination = keys({"destination"}).need("destination").text();
    return [=](World& w) { w.faults().failFileCopy(destination); };
  }
  if (kind == "fail-registry-open" || kind == "fail-registry-create" ||
      kind == "fail-registry-write") {
    const std::string fragment = keys({"keyContains"}).need("keyContains").text();
    if (kind == "fail-registry-open")
      return [=](World& w) { w.faults().failRegistryOpen(fragment); };
    if (kind == "fail-registry-create")
      return [=](World& w) { w.faults().failRegistryCreate(fragment); };
    return [=](World& w) { w.faults().failRegistryWrite(fragment); };
  }
  if (kind == "fail-registry-query") {
    const std::string name = keys({"name"}).need("name").text();
    return [=](World& w) { w.faults().failRegistryQuery(name); };
  }
  if (kind == "fail-device-list") {
    const auto error =
        static_cast<std::uint32_t>(keys({"error"}).need("error").integer(0, kMaxU32));
    return [=](World& w) { w.faults().failDeviceList(error); };
  }
  if (kind == "unplug" || kind == "plug-in" || kind == "plug-in-for-recovery") {
    const Object o = keys({"player", "atMs"});
    const std::size_t index = PlayerIndex(o.need("player"), serials);
    const std::uint64_t at = o.need("atMs").integer(0, UINT64_MAX >> 1);
    if (kind == "unplug") return Action([=](World& w) { w.unplug(index, at); });
    if (kind == "plug-in") return Action([=](World& w) { w.plugIn(index, at); });
    return Action([=](World& w) { w.plugInForRecovery(index, at); });
  }
  kindValue.refuse(
      "unknown fault \"" + kind +
      "\" (one of: scsi-not-delivered, scsi-check-condition, stall, refuse-lock, refuse-unlock, "
      "refuse-dismount, corrupt-drive-read, corrupt-data-drive-read, fail-geometry, "
      "fail-set-layout, fail-hid-enumeration, fail-hid-detail, fail-hid-interface-set, "
      "fail-hid-open, fail-hid-caps, fail-hid-caps-status, fail-hid-report, fail-file-open, "
      "shrink-file, fail-file-copy, fail-registry-open, fail-registry-create, "
      "fail-registry-write, fail-registry-query, fail-device-list, unplug, plug-in, "
      "plug-in-for-recovery)");
}

}  // namespace kx7::sim::scenario
