#pragma once

// What the tool learns from the traffic between the library and the player
// (through the recording services): whether the player refused a command
// the library took as sent - the library judges a pass-through request by
// whether it was delivered, not by its SCSI status - and how far a run
// changed the player's media. Nothing here changes what the library does.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/host/transcript.h"

namespace kx7::cli {

class TrafficWatch {
 public:
  void See(const sim::Event& event);

  // A step begins: what it refuses is counted from here.
  void MarkStep();
  // The first command of the step the player refused, or the first it never
  // got, told for people; nothing when every command of the step went well.
  std::optional<std::string> StepRefusal() const { return stepRefusal_; }
  std::optional<std::string> StepUndelivered() const { return stepUndelivered_; }
  // The file copies of the step that worked: source and destination.
  const std::vector<std::pair<std::string, std::string>>& StepCopies() const { return stepCopies_; }

  // Over the whole run: a command that changes the player's media (erase,
  // write, version stamp, allocation) was answered GOOD.
  bool MediaChanged() const { return mediaChanged_; }
  // The whole media was erased (the recovery's re-allocation began).
  bool MediaErased() const { return mediaErased_; }
  // The player took the switch to its recovery mode / the chip reset.
  bool SwitchTaken() const { return switchTaken_; }
  bool ResetTaken() const { return resetTaken_; }

 private:
  std::optional<std::string> stepRefusal_;
  std::optional<std::string> stepUndelivered_;
  std::vector<std::pair<std::string, std::string>> stepCopies_;
  bool mediaChanged_ = false;
  bool mediaErased_ = false;
  bool switchTaken_ = false;
  bool resetTaken_ = false;
};

// The command a CDB carries, for people ("ERASE LOGICAL DRIVE").
std::string CommandName(const std::vector<std::uint8_t>& cdb);

}  // namespace kx7::cli
