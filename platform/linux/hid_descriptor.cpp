#include "platform/linux/hid_descriptor.h"

#include <array>
#include <map>
#include <vector>

namespace kx7::linux_backend {

namespace {

enum ItemType { kMain = 0, kGlobal = 1, kLocal = 2 };

// Item tags.
constexpr std::uint8_t kInput = 0x8;
constexpr std::uint8_t kOutput = 0x9;
constexpr std::uint8_t kCollection = 0xA;
constexpr std::uint8_t kFeature = 0xB;
constexpr std::uint8_t kEndCollection = 0xC;
constexpr std::uint8_t kUsagePage = 0x0;
constexpr std::uint8_t kReportSize = 0x7;
constexpr std::uint8_t kReportId = 0x8;
constexpr std::uint8_t kReportCount = 0x9;
constexpr std::uint8_t kPush = 0xA;
constexpr std::uint8_t kPop = 0xB;
constexpr std::uint8_t kUsage = 0x0;
constexpr std::uint8_t kLongItem = 0xFE;

struct Globals {
  std::uint32_t usagePage = 0;
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;
};

std::uint16_t BytesWithId(const std::map<std::uint32_t, std::uint64_t>& bitsById) {
  std::uint64_t longest = 0;
  for (const auto& [id, bits] : bitsById) longest = std::max(longest, (bits + 7) / 8);
  if (bitsById.empty()) return 0;
  return static_cast<std::uint16_t>(std::min<std::uint64_t>(longest + 1, 0xFFFF));
}

}  // namespace

std::optional<platform::HidCaps> CapsFromReportDescriptor(
    std::span<const std::uint8_t> descriptor) {
  Globals globals;
  std::vector<Globals> stack;
  // The last local usage before a main item (page in the upper half).
  std::uint32_t usage = 0;
  bool haveUsage = false;
  int depth = 0;
  bool topLevelSeen = false;
  platform::HidCaps caps;
  // Report bits by report id, for input, output and feature.
  std::array<std::map<std::uint32_t, std::uint64_t>, 3> bits;

  for (std::size_t at = 0; at < descriptor.size();) {
    const std::uint8_t prefix = descriptor[at];
    if (prefix == kLongItem) {
      if (at + 1 >= descriptor.size()) return std::nullopt;
      at += 3 + descriptor[at + 1];
      continue;
    }
    const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (at + 1 + size > descriptor.size()) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
      value |= std::uint32_t{descriptor[at + 1 + i]} << (8 * i);
    const auto type = static_cast<ItemType>((prefix >> 2) & 3);
    const std::uint8_t tag = prefix >> 4;
    at += 1 + size;

    if (type == kGlobal) {
      switch (tag) {
        case kUsagePage:
          globals.usagePage = value;
          break;
        case kReportSize:
          globals.reportSize = value;
          break;
        case kReportId:
          globals.reportId = value;
          break;
        case kReportCount:
          globals.reportCount = value;
          break;
        case kPush:
          stack.push_back(globals);
          break;
        case kPop:
          if (stack.empty()) return std::nullopt;
          globals = stack.back();
          stack.pop_back();
          break;
        default:
          break;
      }
      continue;
    }
    if (type == kLocal) {
      if (tag == kUsage) {
        usage = size == 4 ? value : (globals.usagePage << 16) | value;
        haveUsage = true;
      }
      continue;
    }
    if (type != kMain) return std::nullopt;
    switch (tag) {
      case kInput:
      case kOutput:
      case kFeature: {
        const std::size_t kind = tag == kInput ? 0 : tag == kOutput ? 1 : 2;
        bits[kind][globals.reportId] += std::uint64_t{globals.reportSize} * globals.reportCount;
        break;
      }
      case kCollection:
        if (depth == 0 && !topLevelSeen && haveUsage) {
          caps.usagePage = static_cast<std::uint16_t>(usage >> 16);
          caps.usage = static_cast<std::uint16_t>(usage);
          topLevelSeen = true;
        }
        ++depth;
        break;
      case kEndCollection:
        if (depth == 0) return std::nullopt;
        --depth;
        break;
      default:
        break;
    }
    haveUsage = false;  // locals last until the next main item
  }
  if (depth != 0) return std::nullopt;
  caps.inputReportByteLength = BytesWithId(bits[0]);
  caps.outputReportByteLength = BytesWithId(bits[1]);
  caps.featureReportByteLength = BytesWithId(bits[2]);
  return caps;
}

}  // namespace kx7::linux_backend
