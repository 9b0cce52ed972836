#include "platform/linux/sg_pass_through.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <limits>

#include "util/byte_order.h"

namespace kx7::linux_backend {

namespace {

// SCSI_PASS_THROUGH, as Windows lays it out.
constexpr std::size_t kHeaderLength = 44;
constexpr std::size_t kOffScsiStatus = 2;
constexpr std::size_t kOffCdbLength = 6;
constexpr std::size_t kOffSenseLength = 7;
constexpr std::size_t kOffDataIn = 8;
constexpr std::size_t kOffTransferLength = 12;
constexpr std::size_t kOffTimeout = 16;
constexpr std::size_t kOffDataOffset = 20;
constexpr std::size_t kOffSenseOffset = 24;
constexpr std::size_t kOffCdb = 28;
constexpr std::uint8_t kMaxCdbLength = 16;
constexpr std::uint8_t kScsiIoctlDataIn = 1;
constexpr std::uint8_t kScsiIoctlDataOut = 0;

// The driver byte's error codes; DRIVER_SENSE (0x08) only says sense data
// came with the status.
constexpr unsigned kDriverErrorMask = 0x07;

}  // namespace

bool PrepareSgIo(std::span<std::uint8_t> request, sg_io_hdr_t& io) {
  if (request.size() < kHeaderLength || GetLe16(&request[0]) != kHeaderLength) return false;
  const std::uint8_t cdbLength = request[kOffCdbLength];
  const std::uint8_t senseLength = request[kOffSenseLength];
  const std::uint8_t dataIn = request[kOffDataIn];
  const std::uint32_t transferLength = GetLe32(&request[kOffTransferLength]);
  const std::uint32_t timeoutSeconds = GetLe32(&request[kOffTimeout]);
  const std::uint32_t dataOffset = GetLe32(&request[kOffDataOffset]);
  const std::uint32_t senseOffset = GetLe32(&request[kOffSenseOffset]);
  if (cdbLength == 0 || cdbLength > kMaxCdbLength) return false;
  if (dataIn != kScsiIoctlDataIn && dataIn != kScsiIoctlDataOut) return false;
  if (transferLength > 0 && std::uint64_t{dataOffset} + transferLength > request.size())
    return false;
  if (senseLength > 0 &&
      (senseOffset < kHeaderLength || std::uint64_t{senseOffset} + senseLength > request.size()))
    return false;

  io = {};
  io.interface_id = 'S';
  io.cmd_len = cdbLength;
  io.cmdp = &request[kOffCdb];
  io.mx_sb_len = senseLength;
  io.sbp = senseLength > 0 ? &request[senseOffset] : nullptr;
  io.dxfer_len = transferLength;
  io.dxferp = transferLength > 0 ? &request[dataOffset] : nullptr;
  io.dxfer_direction = transferLength == 0          ? SG_DXFER_NONE
                       : dataIn == kScsiIoctlDataIn ? SG_DXFER_FROM_DEV
                                                    : SG_DXFER_TO_DEV;
  const std::uint64_t timeoutMs = std::uint64_t{timeoutSeconds} * 1000;
  io.timeout = static_cast<unsigned>(
      std::min<std::uint64_t>(timeoutMs, std::numeric_limits<unsigned>::max()));
  return true;
}

bool ReachedDevice(const sg_io_hdr_t& io) {
  return io.host_status == 0 && (io.driver_status & kDriverErrorMask) == 0;
}

bool SendPassThrough(int fd, std::span<std::uint8_t> request, int& error) {
  sg_io_hdr_t io;
  if (!PrepareSgIo(request, io)) {
    error = EINVAL;
    return false;
  }
  // Not retried on EINTR: the command may already have run.
  if (ioctl(fd, SG_IO, &io) < 0) {
    error = errno;
    return false;
  }
  if (!ReachedDevice(io)) {
    error = EIO;
    return false;
  }
  request[kOffScsiStatus] = io.status;
  error = 0;
  return true;
}

}  // namespace kx7::linux_backend
