#include "fault_matrix/fault_matrix.h"

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
