#include "sim/host/faults.h"

#include <algorithm>

#include "sim/host/text.h"

namespace kx7::sim {

namespace {

std::vector<std::uint8_t> Prefix(std::uint8_t opcode, std::optional<std::uint8_t> operation) {
  std::vector<std::uint8_t> prefix{opcode};
  if (operation) prefix.push_back(*operation);
  return prefix;
}

}  // namespace

void Faults::failScsi(std::uint8_t opcode, std::optional<std::uint8_t> operation, std::uint32_t nth,
                      std::uint32_t times) {
  failScsiMatching(Prefix(opcode, operation), nth, times);
}

void Faults::rejectScsi(std::uint8_t opcode, std::optional<std::uint8_t> operation,
                        std::uint32_t nth, std::uint32_t times) {
  rejectScsiMatching(Prefix(opcode, operation), nth, times);
}

void Faults::failScsiMatching(std::vector<std::uint8_t> cdbPrefix, std::uint32_t nth,
                              std::uint32_t times) {
  scsiRules_.push_back({std::move(cdbPrefix), nth, times, ScsiAction::NotDelivered, {}});
}

void Faults::rejectScsiMatching(std::vector<std::uint8_t> cdbPrefix, std::uint32_t nth,
                                std::uint32_t times) {
  scsiRules_.push_back({std::move(cdbPrefix), nth, times, ScsiAction::CheckCondition, {}});
}

void Faults::alterScsiAnswer(std::vector<std::uint8_t> cdbPrefix, std::uint32_t nth,
                             std::uint32_t offset, std::vector<std::uint8_t> bytes) {
  scsiRules_.push_back({std::move(cdbPrefix), nth, 1, ScsiAction::None,
                        AnswerEdit{std::nullopt, offset, std::move(bytes)}});
}

void Faults::shortenScsiAnswer(std::vector<std::uint8_t> cdbPrefix, std::uint32_t nth,
                               std::uint32_t keep) {
  scsiRules_.push_back({std::move(cdbPrefix), nth, 1, ScsiAction::None, AnswerEdit{keep, 0, {}}});
}

void Faults::stallScsi(std::vector<std::uint8_t> cdbPrefix, std::uint32_t nth, std::uint32_t ms) {
  scsiRules_.push_back({std::move(cdbPrefix), nth, 1, ScsiAction::None, {}, 0, ms});
}

void Faults::AnswerEdit::apply(std::span<std::uint8_t> answer,
                               std::span<const std::uint8_t> before) const {
  if (keep)
    for (std::size_t i = *keep; i < answer.size() && i < before.size(); ++i) answer[i] = before[i];
  for (std::size_t i = 0; i < bytes.size() && offset + i < answer.size(); ++i)
    answer[offset + i] = bytes[i];
}

Faults::ScsiAction Faults::onScsi(const std::uint8_t* cdb, std::size_t cdbLength, AnswerEdit* edit,
                                  std::uint32_t* stallMs) {
  ScsiAction action = ScsiAction::None;
  bool edited = false;
  for (ScsiRule& rule : scsiRules_) {
    if (cdbLength < rule.prefix.size() || !std::equal(rule.prefix.begin(), rule.prefix.end(), cdb))
      continue;
    const std::uint32_t seen = ++rule.seen;
    const bool fires = seen >= rule.nth && (rule.times == 0 || seen < rule.nth + rule.times);
    if (!fires) continue;
    if (action == ScsiAction::None) action = rule.action;
    if (stallMs && rule.stallMs) *stallMs = rule.stallMs;
    if (edit && !edited && rule.edit.any()) {
      *edit = rule.edit;
      edited = true;
    }
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

Faults::FileOpenVerdict Faults::onFileOpen(const std::string& path) {
  FileOpenVerdict verdict;
  for (FileRule& rule : fileRules_) {
    if (!SamePath(rule.path, path) || ++rule.seen < rule.fromOpen) continue;
    if (!rule.truncatedTo)
      verdict.fails = true;
    else if (!verdict.truncatedTo || *rule.truncatedTo < *verdict.truncatedTo)
      verdict.truncatedTo = rule.truncatedTo;
  }
  return verdict;
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

// Out of line: inlined into callers, GCC 12 takes these string moves for
// out-of-bounds copies.
void Faults::failFileOpen(std::string path, std::uint32_t fromOpen) {
  fileRules_.push_back({std::move(path), fromOpen, std::nullopt});
}

void Faults::shrinkFile(std::string path, std::uint64_t bytes) {
  shrunkFiles_.push_back({std::move(path), bytes});
}

void Faults::truncateFile(std::string path, std::uint64_t bytes, std::uint32_t fromOpen) {
  fileRules_.push_back({std::move(path), fromOpen, bytes});
}

void Faults::failFileCopy(std::string destination) {
  copyFails_.push_back(std::move(destination));
}

void Faults::failRegistryOpen(std::string pathFragment) {
  regOpenFails_.push_back(std::move(pathFragment));
}

void Faults::failRegistryQuery(std::string valueName) {
  regQueryFails_.push_back(std::move(valueName));
}

void Faults::failRegistryCreate(std::string pathFragment) {
  regCreateFails_.push_back(std::move(pathFragment));
}

void Faults::failRegistryWrite(std::string pathFragment) {
  regWriteFails_.push_back(std::move(pathFragment));
}

}  // namespace kx7::sim
