#pragma once

// USB Mass Storage Bulk-Only Transport on the device side: command block
// wrappers from the bulk-out endpoint, the data phase either way, command
// status wrappers on bulk-in, endpoint halts and the reset recovery a host
// runs after a phase error.

#include <cstdint>
#include <span>
#include <vector>

#include "tools/usb-player/scsi_target.h"

namespace kx7::usbplayer {

class BulkOnly {
 public:
  explicit BulkOnly(ScsiTarget& target) : target_(target) {}

  // A transfer the host sent on bulk-out. False: the endpoint is halted and
  // the host gets a STALL.
  bool out(std::span<const std::uint8_t> bytes);

  // What the device answers to an IN transfer of at most `length` bytes.
  enum class InKind { Data, Wait, Stall };
  struct InAnswer {
    InKind kind = InKind::Wait;
    std::vector<std::uint8_t> bytes;
  };
  InAnswer in(std::size_t length);

  // CLEAR_FEATURE(ENDPOINT_HALT) on `endpoint`. An endpoint halted by an
  // invalid command block stays halted until the reset.
  void clearHalt(std::uint8_t endpoint);
  bool halted(std::uint8_t endpoint) const;
  // Bulk-Only Mass Storage Reset (class request), or a new appearance.
  void reset();

  // Why the last command sends the player off the bus, once its status has
  // reached the host.
  std::optional<sim::Leaving> takeLeaving();

  std::uint64_t phaseErrors() const { return phaseErrors_; }
  std::uint64_t commandBlocks() const { return commandBlocks_; }

 private:
  enum class Phase { Command, DataOut, DataIn, Status, NeedsReset };
  void startCommand(std::span<const std::uint8_t> cbw);
  // The command's status wrapper is next on bulk-in.
  void queueStatus(const ScsiOutcome& outcome);
  void invalidCommandBlock();

  ScsiTarget& target_;
  Phase phase_ = Phase::Command;
  bool inHalted_ = false, outHalted_ = false;
  // The current command.
  std::uint32_t tag_ = 0;
  std::uint32_t expected_ = 0;  // dCBWDataTransferLength
  std::vector<std::uint8_t> cdb_;
  std::vector<std::uint8_t> buffer_;  // data in to send, or data out collected
  std::size_t offset_ = 0;            // sent or collected so far
  std::vector<std::uint8_t> status_;  // the 13-byte wrapper waiting for bulk-in
  std::optional<sim::Leaving> leaving_;
  std::optional<sim::Leaving> deliveredLeaving_;
  std::uint64_t phaseErrors_ = 0;
  std::uint64_t commandBlocks_ = 0;
};

}  // namespace kx7::usbplayer
