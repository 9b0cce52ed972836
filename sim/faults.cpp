#include "sim/faults.h"

#include <algorithm>

#include "sim/text.h"

namespace kx7::sim {

void Faults::failScsi(std::uint8_t opcode, std::optional<std::uint8_t> operation, std::uint32_t nth,
                      std::uint32_t times) {
  scsiRules_.push_back({opcode, operation, nth, times, ScsiAction::NotDelivered});
}

void Faults::rejectScsi(std::uint8_t opcode, std::optional<std::uint8_t> operation,
                        std::uint32_t nth, std::uint32_t times) {
  scsiRules_.push_back({opcode, operation, nth, times, ScsiAction::CheckCondition});
}

Faults::ScsiAction Faults::onScsi(const std::uint8_t* cdb, std::size_t cdbLength) {
  ScsiAction action = ScsiAction::None;
  for (ScsiRule& rule : scsiRules_) {
    if (cdbLength < 1 || cdb[0] != rule.opcode) continue;
    if (rule.operation && (cdbLength < 2 || cdb[1] != *rule.operation)) continue;
    const std::uint32_t seen = ++rule.seen;
    const bool fires = seen >= rule.nth && (rule.times == 0 || seen < rule.nth + rule.times);
    if (fires && action == ScsiAction::None) action = rule.action;
  }
  return action;
}

void Faults::corruptDriveRead(std::uint8_t tag, std::uint64_t byteOffset) {
  corruptReads_.push_back({tag, byteOffset});
}

std::optional<std::uint64_t> Faults::driveReadCorruption(std::uint8_t tag) const {
  for (const auto& [t, offset] : corruptReads_)
    if (t == tag) return offset;
  return std::nullopt;
}

bool Faults::hidEnumerationFails(std::uint32_t index) const {
  return std::find(hidEnumErrors_.begin(), hidEnumErrors_.end(), index) != hidEnumErrors_.end();
}

bool Faults::hidDetailFails(std::uint32_t index) const {
  return std::find(hidDetailErrors_.begin(), hidDetailErrors_.end(), index) !=
         hidDetailErrors_.end();
}

bool Faults::fileOpenFails(const std::string& path) const {
  return std::any_of(fileOpenFails_.begin(), fileOpenFails_.end(),
                     [&](const std::string& p) { return SamePath(p, path); });
}

std::optional<std::uint64_t> Faults::shrunkSize(const std::string& path) const {
  for (const auto& [p, size] : shrunkFiles_)
    if (SamePath(p, path)) return size;
  return std::nullopt;
}

bool Faults::fileCopyFails(const std::string& destination) const {
  return std::any_of(copyFails_.begin(), copyFails_.end(),
                     [&](const std::string& p) { return SamePath(p, destination); });
}

bool Faults::registryOpenFails(const std::string& path) const {
  return std::any_of(regOpenFails_.begin(), regOpenFails_.end(),
                     [&](const std::string& f) { return ContainsNoCase(path, f); });
}

bool Faults::registryCreateFails(const std::string& path) const {
  return std::any_of(regCreateFails_.begin(), regCreateFails_.end(),
                     [&](const std::string& f) { return ContainsNoCase(path, f); });
}

bool Faults::registryWriteFails(const std::string& path) const {
  return std::any_of(regWriteFails_.begin(), regWriteFails_.end(),
                     [&](const std::string& f) { return ContainsNoCase(path, f); });
}

bool Faults::registryQueryFails(const std::string& name) const {
  return std::any_of(regQueryFails_.begin(), regQueryFails_.end(),
                     [&](const std::string& n) { return SameText(n, name); });
}

}  // namespace kx7::sim
