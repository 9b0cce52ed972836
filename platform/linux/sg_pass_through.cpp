#include "platform/linux/sg_pass_through.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <limits>

#include "platform/pass_through_request.h"

namespace kx7::linux_backend {

using namespace platform::pass_through;

namespace {

// The driver byte's error codes; DRIVER_SENSE (0x08) only says sense data
// came with the status.
constexpr unsigned kDriverErrorMask = 0x07;

}  // namespace

bool PrepareSgIo(std::span<std::uint8_t> request, sg_io_hdr_t& io) {
  const RequestView view(request);
  if (!view.headerComplete()) return false;
  const std::uint8_t cdbLength = view.cdbLength();
  const std::uint8_t senseLength = view.senseLength();
  const std::uint8_t dataIn = view.dataIn();
  const std::uint32_t transferLength = view.transferLength();
  if (cdbLength == 0 || cdbLength > kCdbCapacity) return false;
  if (dataIn != kDataIn && dataIn != kDataOut) return false;
  if (transferLength > 0 && !view.dataInside()) return false;
  if (senseLength > 0 && !view.senseInside()) return false;

  io = {};
  io.interface_id = 'S';
  io.cmd_len = cdbLength;
  io.cmdp = view.cdb().data();
  io.mx_sb_len = senseLength;
  io.sbp = senseLength > 0 ? view.sense().data() : nullptr;
  io.dxfer_len = transferLength;
  io.dxferp = transferLength > 0 ? view.data().data() : nullptr;
  io.dxfer_direction = transferLength == 0 ? SG_DXFER_NONE
                       : dataIn == kDataIn ? SG_DXFER_FROM_DEV
                                           : SG_DXFER_TO_DEV;
  const std::uint64_t timeoutMs = std::uint64_t{view.timeoutSeconds()} * 1000;
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
  RequestView(request).setScsiStatus(io.status);
  error = 0;
  return true;
}

}  // namespace kx7::linux_backend
