#include "loop_player.h"

#include "platform/linux/sg_pass_through.h"

namespace kx7::test {

platform::Handle LoopPlayerVolumes::openDevice(std::string_view path) {
  const platform::Handle handle = real_.openDevice(path);
  const std::string volume = std::string("\\\\.\\") + letter_ + ":";
  const std::string disk = "\\\\.\\PhysicalDrive" + std::to_string(letter_ - 'B');
  if (handle.isOpen() && (path == volume || path == disk)) loopHandles_.insert(handle.value());
  return handle;
}

void LoopPlayerVolumes::closeHandle(platform::Handle handle) {
  loopHandles_.erase(handle.value());
  real_.closeHandle(handle);
}

bool LoopPlayerVolumes::scsiPassThrough(platform::Handle handle, std::span<std::uint8_t> request) {
  if (!loopHandles_.count(handle.value())) return real_.scsiPassThrough(handle, request);
  // The request read as the backend reads it for SG_IO.
  sg_io_hdr_t io;
  if (!linux_backend::PrepareSgIo(request, io)) return false;
  const std::span<const std::uint8_t> cdb(io.cmdp, io.cmd_len);
  const std::span<std::uint8_t> data(static_cast<std::uint8_t*>(io.dxferp), io.dxfer_len);
  const sim::ScsiResult result =
      player_.execute(cdb, io.dxfer_direction == SG_DXFER_FROM_DEV, data);
  request[2] = result.good ? 0x00 : 0x02;  // ScsiStatus
  return true;
}

}  // namespace kx7::test
