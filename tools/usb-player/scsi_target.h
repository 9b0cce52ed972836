#pragma once

// The SCSI device behind the player's mass-storage interface, as the host's
// disk driver sees it: the standard commands a kernel sends (on the data
// drive, which is the disk the host sees), sense data and the unit
// attentions of a real device; the vendor commands go to the player model.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

#include "sim/player/player.h"

namespace kx7::usbplayer {

struct Sense {
  std::uint8_t key = 0, asc = 0, ascq = 0;
};

namespace sense {
inline constexpr Sense kNoSense{};
inline constexpr Sense kPowerOnReset{0x06, 0x29, 0x00};
inline constexpr Sense kMediumMayHaveChanged{0x06, 0x28, 0x00};
inline constexpr Sense kCapacityChanged{0x06, 0x2A, 0x09};
inline constexpr Sense kNoMedium{0x02, 0x3A, 0x00};
inline constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
inline constexpr Sense kLbaOutOfRange{0x05, 0x21, 0x00};
inline constexpr Sense kInvalidField{0x05, 0x24, 0x00};
inline constexpr Sense kWriteError{0x03, 0x0C, 0x00};
inline constexpr Sense kUnrecoveredRead{0x03, 0x11, 0x00};
}  // namespace sense

// Faults a test can give the disk while the host uses it.
struct DiskFaults {
  // WRITE(10) touching these data-drive sectors ends in MEDIUM ERROR.
  std::uint64_t writeErrorFirst = 0, writeErrorCount = 0;
  // READ(10) touching these ends in MEDIUM ERROR.
  std::uint64_t readErrorFirst = 0, readErrorCount = 0;
  // A device that reports no unit attention when its medium changes (many
  // cheap ones), only the new capacity.
  bool silentMediumChanges = false;
};

struct ScsiOutcome {
  bool good = true;         // false: CHECK CONDITION, sense set
  bool phaseError = false;  // the host's direction or length cannot carry this command
  std::size_t moved = 0;    // bytes produced (data in) or taken (data out)
  std::optional<sim::Leaving> leaving;
};

class ScsiTarget {
 public:
  explicit ScsiTarget(sim::Player& player) : player_(player) {}

  // Where each command that ends in CHECK CONDITION or a phase error is
  // noted (CDB and sense), or null.
  std::FILE* log = nullptr;

  // A fresh appearance on the bus: a power-on unit attention.
  void powerOn();
  // A USB reset restarts the device's logic as well.
  void reset() { powerOn(); }

  // One command. `dataIn`/`data` are what the host's command block wrapper
  // announced: the data area to fill (data in) or the payload (data out).
  ScsiOutcome execute(std::span<const std::uint8_t> cdb, bool dataIn, std::span<std::uint8_t> data);

  DiskFaults faults;
  const Sense& currentSense() const { return sense_; }
  std::uint64_t commandsSeen() const { return commands_; }
  bool mediumLocked() const { return preventRemoval_; }

 private:
  // The data drive's size in sectors, 0 when there is none.
  std::uint64_t capacitySectors() const;
  std::uint32_t blockLength() const;
  ScsiOutcome check(Sense sense);
  ScsiOutcome dispatch(std::span<const std::uint8_t> cdb, bool dataIn,
                       std::span<std::uint8_t> data);
  ScsiOutcome standard(std::span<const std::uint8_t> cdb, bool dataIn,
                       std::span<std::uint8_t> data);
  ScsiOutcome readWrite(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data);
  ScsiOutcome modeSense(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data);
  // Notes a change of the medium the last command made.
  void noticeCapacity();

  sim::Player& player_;
  Sense sense_;
  std::optional<Sense> unitAttention_;
  std::uint64_t knownCapacity_ = 0;
  std::uint64_t commands_ = 0;
  bool preventRemoval_ = false;
};

}  // namespace kx7::usbplayer
