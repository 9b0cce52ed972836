#include "platform/linux/sg_pass_through.h"

#include <pthread.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>

#include "platform/pass_through_request.h"
#include "util/byte_order.h"

namespace kx7::linux_backend {

using namespace platform::pass_through;

namespace {

// The driver byte's error codes; DRIVER_SENSE (0x08) only says sense data
// came with the status.
constexpr unsigned kDriverErrorMask = 0x07;

constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint8_t kUnitAttention = 0x06;
constexpr std::uint8_t kAscMediumMayHaveChanged = 0x28;
constexpr std::uint8_t kAscPowerOnOrReset = 0x29;
constexpr std::uint8_t kAscParametersChanged = 0x2A;
constexpr std::uint8_t kAscqCapacityChanged = 0x09;
// Attentions queue up (a reset, then a new medium, then its capacity); each
// refusal takes one off.
constexpr int kAttentionRetries = 4;
constexpr std::size_t kSenseBytes = 32;
constexpr unsigned kCapacityTimeoutMs = 10000;

struct Sense {
  std::uint8_t key = 0, asc = 0, ascq = 0;
};

// Fixed (0x70, 0x71) and descriptor (0x72, 0x73) formats.
Sense SenseOf(const sg_io_hdr_t& io) {
  Sense sense;
  if ((io.status & 0x7E) != kCheckCondition || !io.sbp || io.sb_len_wr < 4) return sense;
  const std::uint8_t* sb = io.sbp;
  const std::uint8_t code = sb[0] & 0x7F;
  if ((code == 0x70 || code == 0x71) && io.sb_len_wr >= 14)
    sense = {static_cast<std::uint8_t>(sb[2] & 0x0F), sb[12], sb[13]};
  else if (code == 0x72 || code == 0x73)
    sense = {static_cast<std::uint8_t>(sb[1] & 0x0F), sb[2], sb[3]};
  return sense;
}

// SG_IO with a sense buffer of ours, whatever the caller gave, so that a
// unit attention can be recognised and the command sent again.
bool SendWithAttentionRetries(int fd, sg_io_hdr_t& io, int& error, bool* mediumChanged) {
  std::array<std::uint8_t, kSenseBytes> sense{};
  std::uint8_t* const callerSense = io.sbp;
  const std::uint8_t callerLength = io.mx_sb_len;
  io.sbp = sense.data();
  io.mx_sb_len = static_cast<std::uint8_t>(sense.size());
  for (int attempt = 0;; ++attempt) {
    sense.fill(0);
    // Signals wait until the device has answered: one that arrives while
    // SG_IO waits makes it return EINTR with the command under way, or, with
    // SA_RESTART, makes the kernel send the command a second time. Neither
    // may happen to a write or an erase. (Not retried on EINTR either: the
    // command may already have run.)
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const int result = ioctl(fd, SG_IO, &io);
    const int ioctlError = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (result < 0) {
      error = ioctlError;
      break;
    }
    if (!ReachedDevice(io)) {
      error = EIO;
      break;
    }
    error = 0;
    if (!RefusedWithUnitAttention(io) || attempt == kAttentionRetries) break;
    if (mediumChanged && MediumChangeAttention(io)) *mediumChanged = true;
  }
  const std::uint8_t written = std::min<std::uint8_t>(io.sb_len_wr, callerLength);
  if (callerSense && callerLength > 0) {
    std::memset(callerSense, 0, callerLength);
    std::memcpy(callerSense, sense.data(), written);
  }
  io.sbp = callerSense;
  io.mx_sb_len = callerLength;
  io.sb_len_wr = written;
  return error == 0;
}

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

bool RefusedWithUnitAttention(const sg_io_hdr_t& io) {
  const Sense sense = SenseOf(io);
  return sense.key == kUnitAttention &&
         (sense.asc == kAscMediumMayHaveChanged || sense.asc == kAscPowerOnOrReset ||
          sense.asc == kAscParametersChanged);
}

bool MediumChangeAttention(const sg_io_hdr_t& io) {
  const Sense sense = SenseOf(io);
  return sense.key == kUnitAttention &&
         (sense.asc == kAscMediumMayHaveChanged ||
          (sense.asc == kAscParametersChanged && sense.ascq == kAscqCapacityChanged));
}

bool SendPassThrough(int fd, std::span<std::uint8_t> request, int& error, bool* mediumChanged) {
  sg_io_hdr_t io;
  if (!PrepareSgIo(request, io)) {
    error = EINVAL;
    return false;
  }
  if (!SendWithAttentionRetries(fd, io, error, mediumChanged)) return false;
  RequestView(request).setScsiStatus(io.status);
  return true;
}

bool ReadDeviceCapacity(int fd, DeviceCapacity& capacity, bool* mediumChanged) {
  const auto exchange = [&](std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data) {
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.cmd_len = static_cast<unsigned char>(cdb.size());
    io.cmdp = const_cast<std::uint8_t*>(cdb.data());
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.dxfer_len = static_cast<unsigned>(data.size());
    io.dxferp = data.data();
    io.timeout = kCapacityTimeoutMs;
    int error = 0;
    return SendWithAttentionRetries(fd, io, error, mediumChanged) && io.status == 0 &&
           io.resid == 0;
  };
  std::array<std::uint8_t, 10> cdb10{0x25};
  std::array<std::uint8_t, 8> data10{};
  if (!exchange(cdb10, data10)) return false;
  const std::uint32_t last = GetBe32(&data10[0]);
  capacity = {std::uint64_t{last} + 1, GetBe32(&data10[4])};
  if (last == 0xFFFFFFFFu) {
    // SERVICE ACTION IN(16), READ CAPACITY(16), 32 bytes.
    std::array<std::uint8_t, 16> cdb16{0x9E, 0x10};
    cdb16[13] = 32;
    std::array<std::uint8_t, 32> data16{};
    if (!exchange(cdb16, data16)) return false;
    capacity = {GetBe64(&data16[0]) + 1, GetBe32(&data16[8])};
  }
  return capacity.blockLength > 0;
}

}  // namespace kx7::linux_backend
