#include "record/pass_through_fields.h"

#include "device/cmd_base.h"
#include "util/byte_order.h"

namespace kx7::record {

using namespace pass_through;

std::optional<PassThroughFields> DecodePassThrough(std::span<const std::uint8_t> request) {
  if (request.size() < kHeaderLength || GetLe16(&request[kOffLength]) != kHeaderLength)
    return std::nullopt;
  const std::uint8_t cdbLength = request[kOffCdbLength];
  const std::uint8_t senseLength = request[kOffSenseInfoLength];
  const std::uint32_t transfer = GetLe32(&request[kOffDataTransferLength]);
  const std::uint32_t dataOffset = GetLe32(&request[kOffDataBufferOffset]);
  const std::uint32_t senseOffset = GetLe32(&request[kOffSenseInfoOffset]);
  if (cdbLength == 0 || cdbLength > kCdbCapacity ||
      std::uint64_t{dataOffset} + transfer > request.size() ||
      std::uint64_t{senseOffset} + senseLength > request.size())
    return std::nullopt;
  PassThroughFields fields;
  fields.cdb.assign(request.begin() + kOffCdb, request.begin() + kOffCdb + cdbLength);
  fields.dataIn = request[kOffDataIn] == kDataIn;
  fields.transferLength = transfer;
  fields.timeoutSeconds = GetLe32(&request[kOffTimeOutValue]);
  fields.scsiStatus = request[kOffScsiStatus];
  fields.data = request.subspan(dataOffset, transfer);
  fields.sense = request.subspan(senseOffset, senseLength);
  return fields;
}

}  // namespace kx7::record
