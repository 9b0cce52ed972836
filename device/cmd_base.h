#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/handle.h"
#include "platform/pass_through_request.h"
#include "platform/volume_io.h"

namespace kx7 {

// The request block's layout (the data area at 70) lives with the seam that
// carries it, so the backends read the same offsets the commands write.
namespace pass_through = platform::pass_through;

inline constexpr std::uint32_t kDefaultCommandTimeoutSeconds = 120;

// One SCSI exchange with the player: owns its request block, builds it once,
// sends it with a single pass-through call and decodes the response from the
// data area. Objects live for one exchange.
class CStDdiCmdBase {
 public:
  CStDdiCmdBase(const CStDdiCmdBase&) = delete;
  CStDdiCmdBase& operator=(const CStDdiCmdBase&) = delete;
  virtual ~CStDdiCmdBase();

  // Allocates a fresh zero-filled request block, fills the header and writes
  // the CDB. False only when the block cannot be allocated.
  virtual bool BuildRequest() = 0;

  // Builds the request if there is none, then sends it. On failure the
  // request is dropped and a later Send rebuilds it.
  bool Send(platform::VolumeIo& io, platform::Handle device);

  // The data area of the request (offset 70), or null before BuildRequest.
  std::uint8_t* ResponseData();
  const std::uint8_t* ResponseData() const;

  // The whole request block; empty before BuildRequest.
  std::span<const std::uint8_t> RequestBytes() const;

  std::uint32_t TimeoutSeconds = kDefaultCommandTimeoutSeconds;
  std::uint32_t CdbLength = 16;
  std::uint32_t TransferLength = 0;
  bool Completed = false;

 protected:
  CStDdiCmdBase(std::uint32_t cdbLength, std::uint32_t transferLength);

  // Allocates the block and fills the header; returns the CDB bytes to fill,
  // or null when the allocation failed.
  std::uint8_t* AllocateRequest(std::uint8_t dataIn, std::uint32_t timeoutSeconds);

  // Response fields, read only from a completed exchange and only when the
  // whole field lies within TransferLength.
  bool ReadByte(std::uint32_t offset, std::uint8_t& value) const;
  bool ReadBe16(std::uint32_t offset, std::uint16_t& value) const;
  bool ReadBe32(std::uint32_t offset, std::uint32_t& value) const;
  bool ReadBe64(std::uint32_t offset, std::uint64_t& value) const;
  bool ReadBytes(std::uint32_t offset, std::span<std::uint8_t> out) const;

 private:
  std::unique_ptr<std::uint8_t[]> Request;
  std::uint32_t RequestSize = 0;
};

}  // namespace kx7
