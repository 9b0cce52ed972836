#pragma once

// IOCTL_SCSI_PASS_THROUGH from a process of either word size. The library
// builds its request in the layout of a 32-bit process: the 44-byte
// SCSI_PASS_THROUGH header, then its own fields, the sense area and the data
// area at the offsets the header names. A 64-bit process must hand Windows
// its native 56-byte header, whose DataBufferOffset is pointer-sized, so
// there the request is re-laid into a native one and the answer copied back.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/pass_through_request.h"

namespace kx7::platform::win32 {

// Where SCSI_PASS_THROUGH keeps its fields in a process of one word size.
// The first nine bytes (Length to DataIn) are the same in both.
struct PassThroughLayout {
  std::size_t size;
  std::size_t dataTransferLength;
  std::size_t timeOutValue;
  std::size_t dataBufferOffset;
  std::size_t dataBufferOffsetWidth;
  std::size_t senseInfoOffset;
  std::size_t cdb;
};
// The 32-bit one is the library's request (platform/pass_through_request.h).
inline constexpr PassThroughLayout kPassThrough32{pass_through::kHeaderLength,
                                                  pass_through::kOffDataTransferLength,
                                                  pass_through::kOffTimeOutValue,
                                                  pass_through::kOffDataBufferOffset,
                                                  4,
                                                  pass_through::kOffSenseInfoOffset,
                                                  pass_through::kOffCdb};
inline constexpr PassThroughLayout kPassThrough64{56, 12, 16, 24, 8, 32, 36};
inline constexpr PassThroughLayout kNativePassThrough =
    sizeof(void*) == 8 ? kPassThrough64 : kPassThrough32;

inline constexpr std::size_t kCdbSize = pass_through::kCdbCapacity;
// The native request puts its data area on this boundary.
inline constexpr std::size_t kNativeDataAlignment = 8;

// Builds the native 64-bit request for a library request: the header with
// the same values, the sense area right after it, then the data area with
// the request's data bytes. False when the request is not one Windows would
// take (too short, a header length other than 44, or a sense or data area
// outside the buffer).
bool ToNativePassThrough(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& native);

// Copies what the system answered in a native request back into the library
// request it was built from: SCSI status, sense length, transfer length, the
// sense bytes and, for a data-in command, the data area.
void FromNativePassThrough(std::span<const std::uint8_t> native, std::span<std::uint8_t> request);

}  // namespace kx7::platform::win32
