#pragma once

// The request block the library hands to IOCTL_SCSI_PASS_THROUGH: the 44-byte
// SCSI_PASS_THROUGH header of a 32-bit process, the request size, 18 bytes of
// sense, then the data area. All header fields are little-endian. The data
// area sits at 70 - not 4-byte aligned - and everything that reads responses
// depends on it. The library builds it (device/cmd_base.*); each backend
// takes it apart here, so the layout is written once.

#include <cstdint>
#include <span>

#include "util/byte_order.h"

namespace kx7::platform::pass_through {

inline constexpr std::uint32_t kHeaderLength = 44;
inline constexpr std::uint32_t kOffLength = 0;
inline constexpr std::uint32_t kOffScsiStatus = 2;
inline constexpr std::uint32_t kOffPathId = 3;
inline constexpr std::uint32_t kOffTargetId = 4;
inline constexpr std::uint32_t kOffLun = 5;
inline constexpr std::uint32_t kOffCdbLength = 6;
inline constexpr std::uint32_t kOffSenseInfoLength = 7;
inline constexpr std::uint32_t kOffDataIn = 8;
inline constexpr std::uint32_t kOffDataTransferLength = 12;
inline constexpr std::uint32_t kOffTimeOutValue = 16;
inline constexpr std::uint32_t kOffDataBufferOffset = 20;
inline constexpr std::uint32_t kOffSenseInfoOffset = 24;
inline constexpr std::uint32_t kOffCdb = 28;
inline constexpr std::uint32_t kCdbCapacity = 16;
// What follows the header is the library's own: its request size, its sense
// and data areas at fixed places.
inline constexpr std::uint32_t kOffRequestSize = 44;
inline constexpr std::uint32_t kOffSense = 52;
inline constexpr std::uint32_t kSenseLength = 18;
inline constexpr std::uint32_t kOffData = 70;
// Header, sense and the spare byte after the data area.
inline constexpr std::uint32_t kOverhead = 71;

inline constexpr std::uint8_t kDataOut = 0;  // SCSI_IOCTL_DATA_OUT, also "no data"
inline constexpr std::uint8_t kDataIn = 1;   // SCSI_IOCTL_DATA_IN

// The header fields of a request, read where the header puts them. Fields
// are read only of a complete header; a view over const bytes only reads.
template <typename Byte>
class BasicRequestView {
 public:
  explicit BasicRequestView(std::span<Byte> request) : bytes_(request) {}

  // Whether the header is whole and names its own length (44), and
  // whether the areas it names lie inside the block: the sense area after
  // the header. Backends add their system's own limits (CDB length, the
  // direction byte).
  bool headerComplete() const {
    return bytes_.size() >= kHeaderLength && headerLength() == kHeaderLength;
  }
  bool dataInside() const {
    return std::uint64_t{dataOffset()} + transferLength() <= bytes_.size();
  }
  bool senseInside() const {
    return senseOffset() >= kHeaderLength &&
           std::uint64_t{senseOffset()} + senseLength() <= bytes_.size();
  }

  std::uint16_t headerLength() const { return GetLe16(&bytes_[kOffLength]); }
  std::uint8_t cdbLength() const { return bytes_[kOffCdbLength]; }
  std::uint8_t senseLength() const { return bytes_[kOffSenseInfoLength]; }
  std::uint8_t dataIn() const { return bytes_[kOffDataIn]; }
  std::uint32_t transferLength() const { return GetLe32(&bytes_[kOffDataTransferLength]); }
  std::uint32_t timeoutSeconds() const { return GetLe32(&bytes_[kOffTimeOutValue]); }
  std::uint32_t dataOffset() const { return GetLe32(&bytes_[kOffDataBufferOffset]); }
  std::uint32_t senseOffset() const { return GetLe32(&bytes_[kOffSenseInfoOffset]); }

  // What the system writes back.
  void setScsiStatus(std::uint8_t status) { bytes_[kOffScsiStatus] = status; }
  void setSenseLength(std::uint8_t length) { bytes_[kOffSenseInfoLength] = length; }
  void setTransferLength(std::uint32_t length) { PutLe32(&bytes_[kOffDataTransferLength], length); }

  // The CDB field (all 16 bytes), the sense and the data areas; the areas
  // only once they are known to lie inside.
  std::span<Byte> cdb() const { return bytes_.subspan(kOffCdb, kCdbCapacity); }
  std::span<Byte> sense() const { return bytes_.subspan(senseOffset(), senseLength()); }
  std::span<Byte> data() const { return bytes_.subspan(dataOffset(), transferLength()); }

 private:
  std::span<Byte> bytes_;
};

using RequestView = BasicRequestView<std::uint8_t>;
using ConstRequestView = BasicRequestView<const std::uint8_t>;

}  // namespace kx7::platform::pass_through
