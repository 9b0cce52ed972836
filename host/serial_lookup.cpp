#include "host/serial_lookup.h"

#include <cstring>
#include <string_view>

#include "util/ascii.h"

namespace kx7 {

namespace {

// The setup class of the USB device itself (not its disk or volume children).
constexpr char kUsbClassName[] = "USB";

std::string_view TextIn(const char (&buffer)[kInstanceIdBufferSize]) {
  return {buffer, strnlen(buffer, sizeof buffer)};
}

}  // namespace

int DeviceSerialNum(platform::DeviceEnumeration& devices, char* data, int index) {
  std::uint32_t lastError = 0;
  const auto set = devices.presentDevices(lastError);
  if (!set) return static_cast<int>(lastError);

  // Filled once: a name or identifier that cannot be read leaves what the
  // previous device put there, and the tests below judge that.
  char className[kInstanceIdBufferSize] = {};
  char instanceId[kInstanceIdBufferSize] = {};
  int found = 0;
  for (std::uint32_t member = 0; set->member(member) == platform::EnumResult::Ok; ++member) {
    // Not checked (nor below): what is in the buffers is judged instead.
    set->className(member, className);
    if (std::memcmp(className, kUsbClassName, sizeof kUsbClassName) != 0) continue;
    set->instanceId(member, instanceId);
    if (!ContainsIgnoreCase(TextIn(instanceId), kPlayerUsbPrefix)) continue;
    if (found == index) {
      if (data) {
        const std::string_view id = TextIn(instanceId).substr(0, kInstanceIdBufferSize - 1);
        std::memcpy(data, id.data(), id.size());
        data[id.size()] = '\0';
      }
      return 1;
    }
    ++found;
  }
  return 0;
}

}  // namespace kx7
