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

// One exchange on an open generic (or block) node. True when the command was
// delivered, whatever the device answered; the SCSI status is copied into the
// header's ScsiStatus byte. `error` is errno when the ioctl itself failed, or
// EIO for a host or driver error.
bool SendPassThrough(int fd, std::span<std::uint8_t> request, int& error);

}  // namespace kx7::linux_backend
