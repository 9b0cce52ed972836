#include "fault_matrix/fault_matrix.h"

#include <cstdio>

#include "sim/scenario/default_scenario.h"

namespace kx7::matrix {

const std::vector<Row>& FaultMatrix() {
  static const std::vector<Row> rows = [] {
    std::vector<Row> all = QueryRows();
    for (std::vector<Row> part : {NormalUpdateRows(), RecoveryUpdateRows()})
      all.insert(all.end(), part.begin(), part.end());
    return all;
  }();
  return rows;
}

std::vector<int> CodesOf(Operation operation) {
  switch (operation) {
    case Operation::MSCDeviceList:
      return {};
    case Operation::GetDeviceInfo:
      return {0, 1, 3, 5};
    case Operation::NeedRecovery:
      return {0, 1, 3, 10, 11};
    case Operation::DoNormalUpdate:
      return {0, 2, 3, 4, 6, 7, 8, 10, 11};
    case Operation::DoRecoveryUpdate:
      return {0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13};
  }
  return {};
}

sim::scenario::Json ScenarioEntry(const Fault& f) {
  using Json = sim::scenario::Json;
  const auto scsi = [&](const char* fault) {
    return Json{{"fault", fault}, {"cdb", f.cdb}, {"nth", f.nth}};
  };
  const auto refusals = [&](const char* fault, std::uint32_t after) {
    Json entry{{"fault", fault}, {"count", f.count}};
    if (after != 0) entry["after"] = after;
    return entry;
  };
  const auto file = [&](const char* fault) { return Json{{"fault", fault}, {"path", f.path}}; };
  const auto key = [&](const char* fault) {
    return Json{{"fault", fault}, {"keyContains", f.path}};
  };
  const auto plain = [](const char* fault) { return Json{{"fault", fault}}; };
  char tag[8];
  std::snprintf(tag, sizeof tag, "0x%02X", f.tag);
  switch (f.kind) {
    case FaultKind::None:
    case FaultKind::Gone:
      return nullptr;
    case FaultKind::NotDelivered:
      return scsi("scsi-not-delivered");
    case FaultKind::CheckCondition:
      return scsi("scsi-check-condition");
    case FaultKind::Altered: {
      Json entry = scsi("scsi-altered-answer");
      entry["offset"] = f.offset;
      entry["bytes"] = f.bytes;
      return entry;
    }
    case FaultKind::Short: {
      Json entry = scsi("scsi-short-answer");
      entry["keep"] = f.count;
      return entry;
    }
    case FaultKind::LocksRefused:
      return refusals("refuse-lock", f.nth - 1);
    case FaultKind::UnlocksRefused:
      return refusals("refuse-unlock", f.nth - 1);
    case FaultKind::DismountsRefused:
      return refusals("refuse-dismount", 0);
    case FaultKind::ReadBackCorrupt:
      return Json{{"fault", "corrupt-drive-read"}, {"tag", tag}, {"offset", f.offset}};
    case FaultKind::RawReadCorrupt:
      return Json{{"fault", "corrupt-data-drive-read"}, {"offset", f.offset}};
    case FaultKind::HidEnumErrors: {
      if (f.nth == f.count && f.except == UINT32_MAX)
        return Json{{"fault", "fail-hid-enumeration"}, {"index", f.nth}};
      Json entry{{"fault", "fail-hid-enumeration"}, {"from", f.nth}, {"to", f.count}};
      if (f.except != UINT32_MAX) entry["except"] = Json::array({f.except});
      return entry;
    }
    case FaultKind::HidDetail:
      return Json{{"fault", "fail-hid-detail"}, {"index", f.nth}};
    case FaultKind::HidSet:
      return plain("fail-hid-interface-set");
    case FaultKind::HidOpen:
      return plain("fail-hid-open");
    case FaultKind::HidCaps:
      return plain("fail-hid-caps");
    case FaultKind::HidCapsStatus:
      return plain("fail-hid-caps-status");
    case FaultKind::HidReport:
      return Json{{"fault", "fail-hid-report"}, {"report", f.nth}};
    case FaultKind::FileOpen: {
      Json entry = file("fail-file-open");
      if (f.nth > 1) entry["fromOpen"] = f.nth;
      return entry;
    }
    case FaultKind::FileReadsShort: {
      Json entry = file("shrink-file");
      entry["size"] = f.count;
      return entry;
    }
    case FaultKind::FileShrinks: {
      Json entry = file("truncate-file");
      entry["size"] = f.count;
      entry["fromOpen"] = f.nth;
      return entry;
    }
    case FaultKind::FileCopy:
      return Json{{"fault", "fail-file-copy"}, {"destination", f.path}};
    case FaultKind::RegistryOpen:
      return key("fail-registry-open");
    case FaultKind::RegistryCreate:
      return key("fail-registry-create");
    case FaultKind::RegistryWrite:
      return key("fail-registry-write");
    case FaultKind::RegistryQuery:
      return Json{{"fault", "fail-registry-query"}, {"name", f.path}};
    case FaultKind::Geometry:
      return plain("fail-geometry");
    case FaultKind::SetLayout:
      return plain("fail-set-layout");
    case FaultKind::DeleteLayout:
      return plain("fail-delete-layout");
    case FaultKind::DeviceList:
      return Json{{"fault", "fail-device-list"}, {"error", kDeviceListError}};
  }
  return nullptr;
}

std::string FirmwareFolder() {
  return sim::DefaultScenario::kFirmwareFolder;
}

std::string BackupFolder() {
  return std::string("C:\\Temp\\") + kSerial;
}

Fault NotDelivered(std::string cdb, std::uint32_t nth) {
  return {.kind = FaultKind::NotDelivered, .cdb = std::move(cdb), .nth = nth};
}

Fault CheckCondition(std::string cdb, std::uint32_t nth) {
  return {.kind = FaultKind::CheckCondition, .cdb = std::move(cdb), .nth = nth};
}

Fault Altered(std::string cdb, std::uint32_t nth, std::uint32_t offset, std::string bytes) {
  return {.kind = FaultKind::Altered,
          .cdb = std::move(cdb),
          .nth = nth,
          .offset = offset,
          .bytes = std::move(bytes)};
}

Fault Short(std::string cdb, std::uint32_t nth, std::uint32_t keep) {
  return {.kind = FaultKind::Short, .cdb = std::move(cdb), .nth = nth, .count = keep};
}

Fault GoneAtCommand(std::string cdb, std::uint32_t nth) {
  return {.kind = FaultKind::Gone, .call = Call::Scsi, .cdb = std::move(cdb), .nth = nth};
}

Fault GoneAt(Call call, std::uint32_t nth) {
  return {.kind = FaultKind::Gone, .call = call, .nth = nth};
}

Fault LocksRefused(std::uint32_t count, std::uint32_t fromAttempt) {
  return {.kind = FaultKind::LocksRefused, .nth = fromAttempt, .count = count};
}

Fault UnlocksRefused(std::uint32_t count, std::uint32_t fromAttempt) {
  return {.kind = FaultKind::UnlocksRefused, .nth = fromAttempt, .count = count};
}

Fault DismountsRefused(std::uint32_t count) {
  return {.kind = FaultKind::DismountsRefused, .count = count};
}

Fault ReadBackCorrupt(std::uint8_t tag, std::uint32_t offset) {
  return {.kind = FaultKind::ReadBackCorrupt, .offset = offset, .tag = tag};
}

Fault RawReadCorrupt(std::uint32_t offset) {
  return {.kind = FaultKind::RawReadCorrupt, .offset = offset};
}

Fault HidEnumErrors(std::uint32_t first, std::uint32_t last, std::uint32_t except) {
  return {.kind = FaultKind::HidEnumErrors, .nth = first, .count = last, .except = except};
}

Fault Simple(FaultKind kind, std::uint32_t nth) {
  return {.kind = kind, .nth = nth};
}

Fault FileOpen(std::string path, std::uint32_t fromOpen) {
  return {.kind = FaultKind::FileOpen, .nth = fromOpen, .path = std::move(path)};
}

Fault FileReadsShort(std::string path, std::uint32_t bytes) {
  return {.kind = FaultKind::FileReadsShort, .count = bytes, .path = std::move(path)};
}

Fault FileShrinks(std::string path, std::uint32_t bytes, std::uint32_t fromOpen) {
  return {.kind = FaultKind::FileShrinks, .nth = fromOpen, .count = bytes, .path = std::move(path)};
}

Fault Registry(FaultKind kind, std::string text) {
  return {.kind = kind, .path = std::move(text)};
}

Fault FileCopy(std::string destination) {
  return {.kind = FaultKind::FileCopy, .path = std::move(destination)};
}

}  // namespace kx7::matrix
