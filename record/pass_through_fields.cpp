#include "record/pass_through_fields.h"

#include "platform/pass_through_request.h"

namespace kx7::record {

using namespace platform::pass_through;

std::optional<PassThroughFields> DecodePassThrough(std::span<const std::uint8_t> request) {
  const ConstRequestView view(request);
  if (!view.headerComplete() || !view.dataInside() || !view.senseInside()) return std::nullopt;
  if (view.cdbLength() == 0 || view.cdbLength() > kCdbCapacity) return std::nullopt;
  PassThroughFields fields;
  const auto cdb = view.cdb().first(view.cdbLength());
  fields.cdb.assign(cdb.begin(), cdb.end());
  fields.dataIn = view.dataIn() == kDataIn;
  fields.transferLength = view.transferLength();
  fields.timeoutSeconds = view.timeoutSeconds();
  // The view reads what the library asks; the status is what the system
  // wrote back.
  fields.scsiStatus = request[kOffScsiStatus];
  fields.data = view.data();
  fields.sense = view.sense();
  return fields;
}

}  // namespace kx7::record
