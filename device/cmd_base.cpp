#include "device/cmd_base.h"

#include <cstring>
#include <new>

#include "util/byte_order.h"

namespace kx7 {

using namespace pass_through;

CStDdiCmdBase::CStDdiCmdBase(std::uint32_t cdbLength, std::uint32_t transferLength)
    : CdbLength(cdbLength), TransferLength(transferLength) {}

CStDdiCmdBase::~CStDdiCmdBase() {
  Request.reset();
  Completed = false;
}

std::uint8_t* CStDdiCmdBase::AllocateRequest(std::uint8_t dataIn, std::uint32_t timeoutSeconds) {
  Request.reset();
  RequestSize = 0;
  const std::uint64_t size = std::uint64_t{kOverhead} + TransferLength;
  if (size > UINT32_MAX) return nullptr;
  Request.reset(new (std::nothrow) std::uint8_t[size]());
  if (!Request) return nullptr;
  RequestSize = static_cast<std::uint32_t>(size);

  std::uint8_t* r = Request.get();
  PutLe16(r + kOffLength, static_cast<std::uint16_t>(kHeaderLength));
  r[kOffCdbLength] = static_cast<std::uint8_t>(CdbLength);
  r[kOffSenseInfoLength] = static_cast<std::uint8_t>(kSenseLength);
  r[kOffDataIn] = dataIn;
  PutLe32(r + kOffDataTransferLength, TransferLength);
  PutLe32(r + kOffTimeOutValue, timeoutSeconds);
  PutLe32(r + kOffDataBufferOffset, kOffData);
  PutLe32(r + kOffSenseInfoOffset, kOffSense);
  PutLe32(r + kOffRequestSize, RequestSize);
  return r + kOffCdb;
}

bool CStDdiCmdBase::Send(platform::VolumeIo& io, platform::Handle device) {
  if (!Request && !BuildRequest()) {
    Completed = false;
    return false;
  }
  if (io.scsiPassThrough(device, std::span<std::uint8_t>(Request.get(), RequestSize))) {
    Completed = true;
    return true;
  }
  Request.reset();
  RequestSize = 0;
  Completed = false;
  return false;
}

std::uint8_t* CStDdiCmdBase::ResponseData() {
  return Request ? Request.get() + kOffData : nullptr;
}

const std::uint8_t* CStDdiCmdBase::ResponseData() const {
  return Request ? Request.get() + kOffData : nullptr;
}

std::span<const std::uint8_t> CStDdiCmdBase::RequestBytes() const {
  return {Request.get(), Request ? RequestSize : 0};
}

bool CStDdiCmdBase::ReadBytes(std::uint32_t offset, std::span<std::uint8_t> out) const {
  if (!Completed || !Request) return false;
  if (std::uint64_t{offset} + out.size() > TransferLength) return false;
  std::memcpy(out.data(), Request.get() + kOffData + offset, out.size());
  return true;
}

bool CStDdiCmdBase::ReadByte(std::uint32_t offset, std::uint8_t& value) const {
  return ReadBytes(offset, {&value, 1});
}

bool CStDdiCmdBase::ReadBe16(std::uint32_t offset, std::uint16_t& value) const {
  std::uint8_t b[2];
  if (!ReadBytes(offset, b)) return false;
  value = GetBe16(b);
  return true;
}

bool CStDdiCmdBase::ReadBe32(std::uint32_t offset, std::uint32_t& value) const {
  std::uint8_t b[4];
  if (!ReadBytes(offset, b)) return false;
  value = GetBe32(b);
  return true;
}

bool CStDdiCmdBase::ReadBe64(std::uint32_t offset, std::uint64_t& value) const {
  std::uint8_t b[8];
  if (!ReadBytes(offset, b)) return false;
  value = GetBe64(b);
  return true;
}

}  // namespace kx7
