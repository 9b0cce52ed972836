#include "sim/scenario/scenario_faults.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace kx7::sim::scenario {

namespace {

constexpr std::uint64_t kMaxU32 = UINT32_MAX;
// A run of failing HID indices is spelled out one by one: keep it short.
constexpr std::uint64_t kMaxHidIndex = 4096;

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

// An optional whole number, at least `min`.
std::uint32_t Number(const Object& o, std::string_view key, std::uint64_t min,
                     std::uint32_t otherwise) {
  const auto v = o.get(key);
  return v ? static_cast<std::uint32_t>(v->integer(min, kMaxU32)) : otherwise;
}

// The start of the CDBs a rule counts, as hex ("c1 23 02"): one to 16 bytes.
std::vector<std::uint8_t> CdbPrefix(const Value& value) {
  std::vector<std::uint8_t> prefix = value.hex();
  if (prefix.empty() || prefix.size() > 16) value.refuse("a CDB start of 1 to 16 bytes");
  return prefix;
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
    const Object o = keys({"opcode", "operation", "cdb", "nth", "times"});
    const std::uint32_t nth = Number(o, "nth", 1, 1);
    const std::uint32_t times = Number(o, "times", 0, 1);
    const bool deliver = kind == "scsi-check-condition";
    // Either the CDB's start as hex, or its first byte and second.
    if (const auto cdb = o.get("cdb")) {
      if (o.get("opcode") || o.get("operation"))
        cdb->refuse("give \"cdb\" or \"opcode\", not both");
      const std::vector<std::uint8_t> prefix = CdbPrefix(*cdb);
      if (deliver) return [=](World& w) { w.faults().rejectScsiMatching(prefix, nth, times); };
      return [=](World& w) { w.faults().failScsiMatching(prefix, nth, times); };
    }
    const auto opcode = static_cast<std::uint8_t>(o.need("opcode").integer(0, 255));
    std::optional<std::uint8_t> operation;
    if (auto v = o.get("operation")) operation = static_cast<std::uint8_t>(v->integer(0, 255));
    if (deliver) return [=](World& w) { w.faults().rejectScsi(opcode, operation, nth, times); };
    return [=](World& w) { w.faults().failScsi(opcode, operation, nth, times); };
  }
  if (kind == "scsi-altered-answer") {
    const Object o = keys({"cdb", "nth", "offset", "bytes"});
    const std::vector<std::uint8_t> prefix = CdbPrefix(o.need("cdb"));
    const std::uint32_t nth = Number(o, "nth", 1, 1);
    const auto offset = static_cast<std::uint32_t>(o.need("offset").integer(0, kMaxU32));
    const Value bytesValue = o.need("bytes");
    std::vector<std::uint8_t> bytes = bytesValue.hex();
    if (bytes.empty()) bytesValue.refuse("no bytes");
    return [=](World& w) { w.faults().alterScsiAnswer(prefix, nth, offset, bytes); };
  }
  if (kind == "scsi-short-answer") {
    const Object o = keys({"cdb", "nth", "keep"});
    const std::vector<std::uint8_t> prefix = CdbPrefix(o.need("cdb"));
    const std::uint32_t nth = Number(o, "nth", 1, 1);
    const auto keep = static_cast<std::uint32_t>(o.need("keep").integer(0, kMaxU32));
    return [=](World& w) { w.faults().shortenScsiAnswer(prefix, nth, keep); };
  }
  if (kind == "stall") {
    const Object o = keys({"cdb", "nth", "ms"});
    const std::vector<std::uint8_t> prefix = CdbPrefix(o.need("cdb"));
    const std::uint32_t nth = Number(o, "nth", 1, 1);
    const auto ms = static_cast<std::uint32_t>(o.need("ms").integer(1, 3600000));
    return [=](World& w) { w.faults().stallScsi(prefix, nth, ms); };
  }
  if (kind == "refuse-lock" || kind == "refuse-unlock" || kind == "refuse-dismount") {
    const Object o = keys({"count", "after"});
    const std::uint32_t count = Count(o.need("count"));
    const std::uint32_t after = Number(o, "after", 0, 0);
    if (kind == "refuse-lock") return [=](World& w) { w.faults().refuseLocks(count, after); };
    if (kind == "refuse-unlock") return [=](World& w) { w.faults().refuseUnlocks(count, after); };
    return [=](World& w) { w.faults().refuseDismounts(count, after); };
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
  if (kind == "fail-hid-enumeration") {
    // One index, or a run of them ("from" to "to", less any "except").
    const Object o = keys({"index", "from", "to", "except"});
    std::vector<std::uint32_t> indices;
    if (const auto index = o.get("index")) {
      if (o.get("from") || o.get("to") || o.get("except"))
        index->refuse("give \"index\" or \"from\" and \"to\", not both");
      indices.push_back(static_cast<std::uint32_t>(index->integer(0, kMaxU32)));
    } else {
      const auto from = static_cast<std::uint32_t>(o.need("from").integer(0, kMaxHidIndex));
      const Value toValue = o.need("to");
      const auto to = static_cast<std::uint32_t>(toValue.integer(from, kMaxHidIndex));
      std::vector<std::uint64_t> except;
      if (const auto e = o.get("except"))
        for (const Value& item : e->items()) except.push_back(item.integer(from, to));
      for (std::uint32_t i = from; i <= to; ++i)
        if (std::find(except.begin(), except.end(), i) == except.end()) indices.push_back(i);
    }
    return [=](World& w) {
      for (const std::uint32_t i : indices) w.faults().failHidEnumerationAt(i);
    };
  }
  if (kind == "fail-hid-detail") {
    const auto index =
        static_cast<std::uint32_t>(keys({"index"}).need("index").integer(0, kMaxU32));
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
      {"fail-delete-layout", &Faults::failDeleteLayout},
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
    const Object o = keys({"path", "fromOpen"});
    const std::string path = o.need("path").text();
    const std::uint32_t fromOpen = Number(o, "fromOpen", 1, 1);
    return [=](World& w) { w.faults().failFileOpen(path, fromOpen); };
  }
  if (kind == "truncate-file") {
    const Object o = keys({"path", "size", "fromOpen"});
    const std::string path = o.need("path").text();
    const std::uint64_t size = o.need("size").bytes();
    const std::uint32_t fromOpen = Number(o, "fromOpen", 1, 1);
    return [=](World& w) { w.faults().truncateFile(path, size, fromOpen); };
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
      "\" (one of: scsi-not-delivered, scsi-check-condition, scsi-altered-answer, stall, "
      "scsi-short-answer, refuse-lock, refuse-unlock, refuse-dismount, corrupt-drive-read, "
      "corrupt-data-drive-read, fail-geometry, fail-set-layout, fail-delete-layout, "
      "fail-hid-enumeration, fail-hid-detail, fail-hid-interface-set, fail-hid-open, "
      "fail-hid-caps, fail-hid-caps-status, fail-hid-report, fail-file-open, truncate-file, "
      "shrink-file, fail-file-copy, fail-registry-open, fail-registry-create, "
      "fail-registry-write, fail-registry-query, fail-device-list, unplug, plug-in, "
      "plug-in-for-recovery)");
}

}  // namespace kx7::sim::scenario
