#include "platform/linux/windows_names.h"

#include <cstdio>

namespace kx7::linux_backend {

namespace {
constexpr std::string_view kHidInterfaceGuid = "{4d1e55b2-f16f-11cf-88cb-001111000030}";
constexpr std::string_view kDiskClassGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

bool UsableSerial(std::string_view serial) {
  if (serial.empty()) return false;
  for (char c : serial) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == ',') return false;
  }
  return true;
}

std::uint32_t Fnv1a(std::string_view text) {
  std::uint32_t hash = 2166136261u;
  for (char c : text) hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
  return hash;
}
}  // namespace

std::string UsbInstanceId(std::uint16_t vendorId, std::uint16_t productId, std::string_view serial,
                          std::string_view location) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "USB\\VID_%04X&PID_%04X\\", vendorId, productId);
  if (UsableSerial(serial)) return prefix + std::string(serial);
  char id[32];
  std::snprintf(id, sizeof id, "5&%X&0&%u", Fnv1a(location) & 0x0FFFFFFF,
                static_cast<unsigned>(location.size()));
  return prefix + std::string(id);
}

std::string HidInterfacePath(std::uint16_t vendorId, std::uint16_t productId,
                             std::string_view hidrawName) {
  char head[48];
  std::snprintf(head, sizeof head, "\\\\?\\hid#vid_%04x&pid_%04x#", vendorId, productId);
  return head + std::string(hidrawName) + "#" + std::string(kHidInterfaceGuid);
}

std::optional<std::string> HidrawNameOfPath(std::string_view path) {
  // The instance part sits between the second and the third '#'.
  const std::size_t first = path.find('#');
  const std::size_t second = first == std::string_view::npos ? first : path.find('#', first + 1);
  const std::size_t third = second == std::string_view::npos ? second : path.find('#', second + 1);
  if (third == std::string_view::npos) return std::nullopt;
  const std::string_view name = path.substr(second + 1, third - second - 1);
  if (name.size() <= 6 || name.substr(0, 6) != "hidraw" ||
      name.substr(6).find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  return std::string(name);
}

std::string UsbStorDeviceName(std::string_view vendor, std::string_view model,
                              std::string_view revision) {
  std::string name = "Disk&Ven_" + std::string(vendor) + "&Prod_" + std::string(model) + "&Rev_" +
                     std::string(revision);
  for (char& c : name)
    if (c == ' ') c = '_';
  return name;
}

std::string MountedDevicePath(std::string_view usbStorDeviceName, std::string_view serial) {
  return "\\??\\USBSTOR#" + std::string(usbStorDeviceName) + "#" + std::string(serial) + "&0#" +
         std::string(kDiskClassGuid);
}

std::string ParentIdPrefix(std::string_view devicePlace) {
  char text[32];
  std::snprintf(text, sizeof text, "7&%x&0", Fnv1a(devicePlace) & 0x0FFFFFFF);
  return text;
}

}  // namespace kx7::linux_backend
