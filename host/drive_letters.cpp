#include "host/drive_letters.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "device/player_scan.h"
#include "host/serial_lookup.h"
#include "util/ascii.h"

namespace kx7 {

namespace {

using platform::RegistryKey;
using platform::RegistryRoot;
namespace access = platform::registry_access;

constexpr const char* kCurrentVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kNtVdm64Key =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\NtVdm64";
constexpr const char* kPlayerUsbStorKey =
    "System\\CurrentControlSet\\Enum\\USBSTOR\\Disk&Ven_Korvane&Prod_Tessio_Mirl&Rev_0100\\";
// Both spellings are in use; the registry ignores case.
constexpr const char* kMountedDevicesKey = "System\\MountedDevices";
constexpr const char* kMountedDevicesKeyVista = "SYSTEM\\MountedDevices";

constexpr std::size_t kValueBufferSize = 1024;
constexpr std::size_t kSerialInputLength = 33;
constexpr std::size_t kSerialOutputLength = 32;
// 2000/XP: a mounted-devices value is looked at through its first 161 bytes
// (of 162 cleared before each read), narrowed to at most 81 characters.
constexpr std::size_t kXpClearedBytes = 162;
constexpr std::size_t kXpNarrowedBytes = 161;
constexpr std::size_t kXpNarrowedChars = 81;
constexpr std::size_t kVistaLetterNarrowedChars = 259;
constexpr std::size_t kVistaSerialNarrowedChars = 1023;

using ValueBuffer = std::array<std::uint8_t, kValueBufferSize>;

enum class HostFamily { None, Windows2000XP, Vista };

// A key opened for one lookup, closed whatever way the lookup ends.
class OpenRegistryKey {
 public:
  OpenRegistryKey(platform::Registry& registry, RegistryRoot root, std::string_view path,
                  std::uint32_t accessMask)
      : registry_(registry), key_(registry.openKey(root, path, accessMask)) {}
  ~OpenRegistryKey() {
    if (key_) registry_.closeKey(*key_);
  }
  OpenRegistryKey(const OpenRegistryKey&) = delete;
  OpenRegistryKey& operator=(const OpenRegistryKey&) = delete;

  bool isOpen() const { return key_.has_value(); }
  // The value's bytes into `buffer`; their count, or nothing.
  std::optional<std::uint32_t> query(std::string_view name, std::span<std::uint8_t> buffer) {
    std::uint32_t length = 0;
    if (!key_ || !registry_.queryValue(*key_, name, buffer, length)) return std::nullopt;
    return length;
  }

 private:
  platform::Registry& registry_;
  std::optional<RegistryKey> key_;
};

// A zero-terminated text in a buffer (bounded by the buffer).
std::string TextOf(std::span<const std::uint8_t> buffer) {
  const char* text = reinterpret_cast<const char*>(buffer.data());
  return std::string(text, strnlen(text, buffer.size()));
}

// The UTF-16LE device path of a mounted-devices value as single-byte text:
// every zero byte dropped, order kept, at most `maxChars` kept.
std::string Narrow(std::span<const std::uint8_t> bytes, std::size_t maxChars) {
  std::string text;
  for (std::uint8_t b : bytes) {
    if (text.size() == maxChars) break;
    if (b != 0) text += static_cast<char>(b);
  }
  return text;
}

std::string DosDevicesValueName(char letter) {
  std::string name = "\\DosDevices\\";
  name += letter;
  name += ':';
  return name;
}

// Windows 8 and later name neither family ("Windows 10 Pro"; Windows 11 too
// says "Windows 10 ...") but keep the Vista/7 mounted-devices table; they
// report a major version of 6 or more. Server 2003 (5.2) names neither and
// stays without a result.
HostFamily SelectHostFamily(const platform::Services& services) {
  OpenRegistryKey key(services.registry, RegistryRoot::LocalMachine, kCurrentVersionKey,
                      access::kRead);
  ValueBuffer buffer{};
  if (!key.query("ProductName", buffer)) return HostFamily::None;
  const std::string product = TextOf(buffer);
  if (ContainsIgnoreCase(product, "Microsoft Windows XP") ||
      ContainsIgnoreCase(product, "Microsoft Windows 2000"))
    return HostFamily::Windows2000XP;
  if (ContainsIgnoreCase(product, "Vista") || ContainsIgnoreCase(product, "Windows 7"))
    return HostFamily::Vista;
  if (services.system.osVersion().major >= 6) return HostFamily::Vista;
  return HostFamily::None;
}

// The "ParentIdPrefix" Windows 2000/XP gave the player's USB disk; it names
// the player's volume in the mounted-devices table.
std::optional<std::string> ReadParentIdPrefix(platform::Registry& registry,
                                              std::string_view serial) {
  const std::string path =
      std::string(kPlayerUsbStorKey) + std::string(serial.substr(0, kSerialInputLength)) + "&0";
  OpenRegistryKey key(registry, RegistryRoot::LocalMachine, path, access::kRead);
  ValueBuffer buffer{};
  if (!key.query("ParentIdPrefix", buffer)) return std::nullopt;
  return TextOf(buffer);
}

// The 2000/XP view of a mounted-devices value: 162 bytes cleared, the value
// read over them, the first 161 narrowed.
std::optional<std::string> ReadMountedXp(OpenRegistryKey& mounted, ValueBuffer& buffer,
                                         char letter) {
  std::fill_n(buffer.begin(), kXpClearedBytes, 0);
  if (!mounted.query(DosDevicesValueName(letter), buffer)) return std::nullopt;
  return Narrow(std::span(buffer).first(kXpNarrowedBytes), kXpNarrowedChars);
}

// The Vista view: the bytes the read returned, narrowed.
std::optional<std::string> ReadMountedVista(OpenRegistryKey& mounted, char letter,
                                            std::size_t maxChars) {
  ValueBuffer buffer{};
  const auto length = mounted.query(DosDevicesValueName(letter), buffer);
  if (!length) return std::nullopt;
  return Narrow(std::span(buffer).first(std::min<std::size_t>(*length, buffer.size())), maxChars);
}

char FindLetterXp(platform::Registry& registry, std::string_view serial) {
  const auto prefix = ReadParentIdPrefix(registry, serial);
  if (!prefix) return 0;
  OpenRegistryKey mounted(registry, RegistryRoot::LocalMachine, kMountedDevicesKey, access::kRead);
  if (!mounted.isOpen()) return 0;
  ValueBuffer buffer{};
  for (char letter = 'A'; letter <= 'Y'; ++letter) {
    const auto narrowed = ReadMountedXp(mounted, buffer, letter);
    if (narrowed && ContainsIgnoreCase(*narrowed, *prefix)) return letter;
  }
  return 0;
}

char FindLetterVista(platform::Registry& registry, std::string_view serial) {
  OpenRegistryKey mounted(registry, RegistryRoot::LocalMachine, kMountedDevicesKeyVista,
                          access::kRead);
  if (!mounted.isOpen()) return 0;
  const std::string_view wanted = serial.substr(0, kSerialInputLength);
  for (char letter = 'A'; letter <= 'Y'; ++letter) {
    const auto narrowed = ReadMountedVista(mounted, letter, kVistaLetterNarrowedChars);
    if (narrowed && ContainsIgnoreCase(*narrowed, wanted)) return letter;
  }
  return 0;
}

}  // namespace

char FindDriveLetterForSerial(const platform::Services& services, std::string_view serial) {
  switch (SelectHostFamily(services)) {
    case HostFamily::Windows2000XP:
      return FindLetterXp(services.registry, serial);
    case HostFamily::Vista:
      return FindLetterVista(services.registry, serial);
    case HostFamily::None:
      break;
  }
  return 0;
}

std::optional<std::string> FindSerialForDriveLetter(const platform::Services& services,
                                                    char letter) {
  platform::Registry& registry = services.registry;
  const HostFamily family = SelectHostFamily(services);
  if (family == HostFamily::None) return std::nullopt;

  std::optional<std::string> narrowed;
  {
    OpenRegistryKey mounted(registry, RegistryRoot::LocalMachine, kMountedDevicesKey,
                            access::kRead);
    ValueBuffer buffer{};
    narrowed = family == HostFamily::Vista
                   ? ReadMountedVista(mounted, letter, kVistaSerialNarrowedChars)
                   : ReadMountedXp(mounted, buffer, letter);
  }
  if (!narrowed) return std::nullopt;

  // The count comes from the drive scan and the serials from the device
  // list; nothing ties the two together.
  const int count = CountPlayers(services);
  if (count < 1) return std::nullopt;

  // Cleared once: an index with no player leaves the previous identifier.
  char instanceId[kInstanceIdBufferSize] = {};
  for (int i = 0; i < count; ++i) {
    // Not checked: a failed read leaves the last identifier, judged below.
    DeviceSerialNum(services.devices, instanceId, i);
    const char* tail = instanceId + kPlayerUsbPrefixLength;
    const std::string serial(tail, strnlen(tail, kSerialOutputLength));
    if (family == HostFamily::Vista) {
      if (ContainsIgnoreCase(*narrowed, serial)) return serial;
      continue;
    }
    // One player whose prefix cannot be read ends the search.
    const auto prefix = ReadParentIdPrefix(registry, serial);
    if (!prefix) return std::nullopt;
    if (ContainsIgnoreCase(*narrowed, *prefix)) return serial;
  }
  return std::nullopt;
}

HostOs ClassifyHostOs(const platform::Services& services) {
  const platform::OsVersion version = services.system.osVersion();
  if (version.major == 5) {
    if (version.minor == 0) return HostOs::Windows2000;
    if (version.minor == 1) return HostOs::WindowsXp;
    return HostOs::Server2003;
  }
  if (version.major == 6 && version.minor == 0) {
    // The NtVdm64 hotfix key is there on 64-bit Windows only.
    OpenRegistryKey key(services.registry, RegistryRoot::LocalMachine, kNtVdm64Key,
                        access::kQueryValue);
    return key.isOpen() ? HostOs::Vista64 : HostOs::Vista;
  }
  return HostOs::Later;
}

}  // namespace kx7
