#pragma once

// What a log shows of one pass-through request: the fields of the library's
// request block (the 44-byte SCSI_PASS_THROUGH header, sense and data areas)
// that say what was asked and how the device answered.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kx7::record {

struct PassThroughFields {
  std::vector<std::uint8_t> cdb;
  bool dataIn = false;
  std::uint32_t transferLength = 0;
  std::uint32_t timeoutSeconds = 0;
  std::uint8_t scsiStatus = 0;
  std::span<const std::uint8_t> data;   // the data area, inside the request
  std::span<const std::uint8_t> sense;  // the sense area, inside the request
};

// Nothing when the block is not one the system would take (its header,
// CDB, data or sense area out of bounds).
std::optional<PassThroughFields> DecodePassThrough(std::span<const std::uint8_t> request);

}  // namespace kx7::record
