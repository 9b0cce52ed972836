#include "platform/win32/pass_through.h"

#include <algorithm>
#include <cstring>

#include "util/byte_order.h"

namespace kx7::platform::win32 {

namespace {

// Length .. DataIn: the same places in both word sizes.
constexpr std::size_t kLengthField = pass_through::kOffLength;
constexpr std::size_t kScsiStatusField = pass_through::kOffScsiStatus;
constexpr std::size_t kSenseInfoLengthField = pass_through::kOffSenseInfoLength;
constexpr std::size_t kDataInField = pass_through::kOffDataIn;
constexpr std::uint8_t kScsiIoctlDataIn = pass_through::kDataIn;

// The library request's areas, as its 32-bit header names them.
struct Areas {
  std::size_t senseOffset;
  std::size_t senseLength;
  std::size_t dataOffset;
  std::size_t dataLength;
};

bool ReadAreas(std::span<const std::uint8_t> request, Areas& areas) {
  const pass_through::ConstRequestView view(request);
  if (!view.headerComplete()) return false;
  areas.senseOffset = view.senseOffset();
  areas.senseLength = view.senseLength();
  areas.dataOffset = view.dataOffset();
  areas.dataLength = view.transferLength();
  // Both areas are checked whatever their lengths: the re-laid request
  // copies from both.
  return view.senseInside() && areas.dataOffset >= kPassThrough32.size && view.dataInside();
}

// Native areas: sense right after the header, data on the next boundary.
Areas NativeAreas(const Areas& library) {
  const std::size_t senseOffset = kPassThrough64.size;
  const std::size_t dataOffset = (senseOffset + library.senseLength + kNativeDataAlignment - 1) /
                                 kNativeDataAlignment * kNativeDataAlignment;
  return {senseOffset, library.senseLength, dataOffset, library.dataLength};
}

}  // namespace

bool ToNativePassThrough(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& native) {
  Areas library;
  if (!ReadAreas(request, library)) return false;
  const Areas areas = NativeAreas(library);
  const PassThroughLayout& from = kPassThrough32;
  const PassThroughLayout& to = kPassThrough64;

  native.assign(areas.dataOffset + areas.dataLength, 0);
  // Length .. DataIn keep their places; the length is the native header's.
  std::memcpy(native.data(), request.data(), kDataInField + 1);
  PutLe16(&native[kLengthField], static_cast<std::uint16_t>(to.size));
  PutLe32(&native[to.dataTransferLength], GetLe32(&request[from.dataTransferLength]));
  PutLe32(&native[to.timeOutValue], GetLe32(&request[from.timeOutValue]));
  PutLe64(&native[to.dataBufferOffset], areas.dataOffset);
  PutLe32(&native[to.senseInfoOffset], static_cast<std::uint32_t>(areas.senseOffset));
  std::memcpy(&native[to.cdb], &request[from.cdb], kCdbSize);
  std::memcpy(&native[areas.senseOffset], &request[library.senseOffset], library.senseLength);
  std::memcpy(&native[areas.dataOffset], &request[library.dataOffset], library.dataLength);
  return true;
}

void FromNativePassThrough(std::span<const std::uint8_t> native, std::span<std::uint8_t> request) {
  Areas library;
  if (!ReadAreas(request, library)) return;
  const Areas areas = NativeAreas(library);
  if (native.size() < areas.dataOffset + areas.dataLength) return;
  const PassThroughLayout& from = kPassThrough64;
  const PassThroughLayout& to = kPassThrough32;

  request[kScsiStatusField] = native[kScsiStatusField];
  // The system reports how much sense and data it actually moved; neither
  // count grows past what the request asked for.
  const std::uint8_t senseReturned =
      std::min<std::uint8_t>(native[kSenseInfoLengthField], request[kSenseInfoLengthField]);
  request[kSenseInfoLengthField] = senseReturned;
  const std::uint32_t dataReturned = std::min<std::uint32_t>(
      GetLe32(&native[from.dataTransferLength]), static_cast<std::uint32_t>(library.dataLength));
  PutLe32(&request[to.dataTransferLength], dataReturned);
  std::memcpy(&request[library.senseOffset], &native[areas.senseOffset], library.senseLength);
  if (request[kDataInField] == kScsiIoctlDataIn)
    std::memcpy(&request[library.dataOffset], &native[areas.dataOffset], library.dataLength);
}

}  // namespace kx7::platform::win32
