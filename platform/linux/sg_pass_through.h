#pragma once

// The library's pass-through request - a Windows SCSI_PASS_THROUGH header,
// the sense area and the data area in one block - carried over SG_IO.

#include <scsi/sg.h>

#include <cstdint>
#include <span>

namespace kx7::linux_backend {

// Fills `io` for `request`, its CDB, sense and data pointers aimed inside the
// request. False when the header is not one Windows would take (wrong
// length, a CDB of no or more than 16 bytes, areas outside the block).
bool PrepareSgIo(std::span<std::uint8_t> request, sg_io_hdr_t& io);

// Whether a finished SG_IO reached the device: a host or driver error (the
// device gone, a reset, a timeout) did not. A SCSI status such as CHECK
// CONDITION did: the command was delivered and the device answered.
bool ReachedDevice(const sg_io_hdr_t& io);

// Whether the device refused the command with a unit attention that says
// only that something happened before it (a reset or power on, a medium
// change, new capacity data): the command itself did not run.
bool RefusedWithUnitAttention(const sg_io_hdr_t& io);
// Whether that attention says the medium or its capacity changed, so that
// what the kernel read of the disk before is stale.
bool MediumChangeAttention(const sg_io_hdr_t& io);

// One exchange on an open generic (or block) node. True when the command was
// delivered, whatever the device answered; the SCSI status is copied into the
// header's ScsiStatus byte. `error` is errno when the ioctl itself failed, or
// EIO for a host or driver error. A command refused with a unit attention
// is sent again (it did not run); `mediumChanged` is set when one of those
// attentions told of a new medium or capacity.
bool SendPassThrough(int fd, std::span<std::uint8_t> request, int& error,
                     bool* mediumChanged = nullptr);

// The device's own capacity, READ CAPACITY(10), or (16) when the disk is too
// big for it, sent on an open generic or block node.
struct DeviceCapacity {
  std::uint64_t blocks = 0;
  std::uint32_t blockLength = 0;
};
bool ReadDeviceCapacity(int fd, DeviceCapacity& capacity, bool* mediumChanged = nullptr);

}  // namespace kx7::linux_backend
