#include "tools/usb-player/bulk_only.h"

#include <algorithm>
#include <cstring>

#include "tools/usb-player/usb_identity.h"
#include "util/byte_order.h"

namespace kx7::usbplayer {

namespace {

constexpr std::uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr std::uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr std::size_t kCbwLength = 31;
constexpr std::uint8_t kStatusPassed = 0, kStatusFailed = 1, kStatusPhaseError = 2;

}  // namespace

bool BulkOnly::out(std::span<const std::uint8_t> bytes) {
  if (outHalted_) return false;
  switch (phase_) {
    case Phase::Command:
      if (bytes.size() != kCbwLength || GetLe32(bytes.data()) != kCbwSignature) {
        invalidCommandBlock();
        return false;
      }
      startCommand(bytes);
      return true;
    case Phase::DataOut: {
      const std::size_t take = std::min(bytes.size(), buffer_.size() - offset_);
      std::memcpy(buffer_.data() + offset_, bytes.data(), take);
      offset_ += take;
      if (offset_ == buffer_.size()) queueStatus(target_.execute(cdb_, false, buffer_));
      return true;
    }
    default:
      // A command block while the last command has not ended.
      invalidCommandBlock();
      return false;
  }
}

void BulkOnly::invalidCommandBlock() {
  // Neither endpoint moves until the host resets the interface.
  ++phaseErrors_;
  phase_ = Phase::NeedsReset;
  inHalted_ = outHalted_ = true;
}

void BulkOnly::startCommand(std::span<const std::uint8_t> cbw) {
  ++commandBlocks_;
  tag_ = GetLe32(&cbw[4]);
  expected_ = GetLe32(&cbw[8]);
  const bool dataIn = (cbw[12] & 0x80) != 0;
  const std::size_t cdbLength = std::clamp<std::size_t>(cbw[14] & 0x1F, 1, 16);
  cdb_.assign(cbw.begin() + 15, cbw.begin() + 15 + static_cast<std::ptrdiff_t>(cdbLength));
  buffer_.assign(expected_, 0);
  offset_ = 0;
  if (expected_ != 0 && !dataIn) {
    phase_ = Phase::DataOut;
    return;
  }
  const ScsiOutcome outcome = cbw[13] != 0 ? ScsiOutcome{.good = false}  // one logical unit
                                           : target_.execute(cdb_, dataIn, buffer_);
  queueStatus(outcome);
  if (expected_ == 0) return;
  if (!outcome.good || outcome.phaseError) {
    // Nothing to send: bulk-in stalls and the status follows the host's clear.
    inHalted_ = true;
    return;
  }
  // What the command gave is padded to what the host asked for; the residue
  // in the status tells the host how much was real.
  phase_ = Phase::DataIn;
}

void BulkOnly::queueStatus(const ScsiOutcome& outcome) {
  std::uint8_t csw[13];
  PutLe32(csw, kCswSignature);
  PutLe32(csw + 4, tag_);
  const std::size_t moved = std::min<std::size_t>(outcome.moved, expected_);
  PutLe32(csw + 8, expected_ - static_cast<std::uint32_t>(moved));
  csw[12] = outcome.phaseError ? kStatusPhaseError : outcome.good ? kStatusPassed : kStatusFailed;
  if (outcome.phaseError) ++phaseErrors_;
  status_.assign(csw, csw + sizeof csw);
  leaving_ = outcome.leaving;
  phase_ = Phase::Status;
}

BulkOnly::InAnswer BulkOnly::in(std::size_t length) {
  if (inHalted_) return {InKind::Stall, {}};
  InAnswer answer{InKind::Data, {}};
  switch (phase_) {
    case Phase::DataIn: {
      const std::size_t n = std::min(length, buffer_.size() - offset_);
      answer.bytes.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(offset_),
                          buffer_.begin() + static_cast<std::ptrdiff_t>(offset_ + n));
      offset_ += n;
      if (offset_ == buffer_.size()) phase_ = Phase::Status;
      return answer;
    }
    case Phase::Status:
      answer.bytes = status_;
      if (answer.bytes.size() > length) answer.bytes.resize(length);
      phase_ = Phase::Command;
      deliveredLeaving_ = leaving_;
      leaving_.reset();
      return answer;
    default:
      return {InKind::Wait, {}};
  }
}

void BulkOnly::clearHalt(std::uint8_t endpoint) {
  if (phase_ == Phase::NeedsReset) return;
  (endpoint & 0x80 ? inHalted_ : outHalted_) = false;
}

bool BulkOnly::halted(std::uint8_t endpoint) const {
  return endpoint & 0x80 ? inHalted_ : outHalted_;
}

void BulkOnly::reset() {
  phase_ = Phase::Command;
  inHalted_ = outHalted_ = false;
  buffer_.clear();
  status_.clear();
  offset_ = 0;
  leaving_.reset();
}

std::optional<sim::Leaving> BulkOnly::takeLeaving() {
  const std::optional<sim::Leaving> leaving = deliveredLeaving_;
  deliveredLeaving_.reset();
  return leaving;
}

}  // namespace kx7::usbplayer
