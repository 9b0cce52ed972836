#include "platform/linux/registry_view.h"

#include <algorithm>

#include "platform/linux/usb_disks.h"
#include "platform/linux/windows_names.h"
#include "util/ascii.h"

namespace kx7::linux_backend {

namespace {

using platform::RegistryRoot;
namespace access = platform::registry_access;

constexpr std::string_view kCurrentVersion = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr std::string_view kMountedDevices = "SYSTEM\\MountedDevices";
constexpr std::string_view kUsbStor = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\";
constexpr std::string_view kAutoplayHandlers =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers";
constexpr std::string_view kCancelAutoplay =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers\\CancelAutoplay\\"
    "CLSID";
// The Vista/7 family: the lookups take the mounted-devices road.
constexpr std::string_view kProductName = "Windows 7";

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

// Registry paths ignore case and stray separators at either end.
std::string Normal(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return Upper(path);
}

std::vector<std::uint8_t> TextValue(std::string_view text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

std::vector<std::uint8_t> Utf16Le(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

std::string UsbStorName(const UsbDisk& disk) {
  return UsbStorDeviceName(disk.scsiVendor, disk.scsiModel, disk.scsiRevision);
}

}  // namespace

std::optional<RegistryView::OpenKey> RegistryView::build(RegistryRoot root, std::string_view path) {
  const std::string wanted = Normal(path);
  OpenKey key{root, std::string(path)};
  if (root == RegistryRoot::CurrentUser) {
    if (wanted != Upper(kAutoplayHandlers)) return std::nullopt;
    key.path = kAutoplayHandlers;
    key.stored = true;
    return key;
  }
  if (wanted == Upper(kCancelAutoplay)) {
    key.path = kCancelAutoplay;
    key.stored = true;
    return key;
  }
  if (wanted == Upper(kCurrentVersion)) {
    key.values["PRODUCTNAME"] = TextValue(kProductName);
    return key;
  }
  const auto disks = ListUsbDisks(config_.extraDisks, &letters_);
  if (wanted == Upper(kMountedDevices)) {
    for (const UsbDisk& disk : disks) {
      if (disk.usbSyspath.empty() || disk.serial.empty()) continue;
      const std::string name = std::string("\\DOSDEVICES\\") + disk.letter + ":";
      key.values[name] = Utf16Le(MountedDevicePath(UsbStorName(disk), disk.serial));
    }
    return key;
  }
  for (const UsbDisk& disk : disks) {
    if (disk.usbSyspath.empty() || disk.serial.empty()) continue;
    const std::string instance =
        std::string(kUsbStor) + UsbStorName(disk) + "\\" + disk.serial + "&0";
    if (wanted != Upper(instance)) continue;
    key.values["PARENTIDPREFIX"] = TextValue(ParentIdPrefix(disk.usbSyspath));
    return key;
  }
  return std::nullopt;
}

std::optional<platform::RegistryKey> RegistryView::remember(OpenKey key) {
  std::lock_guard lock(mutex_);
  const std::uintptr_t value = next_++;
  keys_.emplace(value, std::move(key));
  return platform::RegistryKey{value};
}

std::optional<platform::RegistryKey> RegistryView::openKey(RegistryRoot root, std::string_view path,
                                                           std::uint32_t accessMask) {
  auto key = build(root, path);
  // The view of the system is read-only.
  if (!key || (!key->stored && (accessMask & access::kSetValue))) return std::nullopt;
  key->access = accessMask;
  return remember(std::move(*key));
}

std::optional<platform::RegistryKey> RegistryView::createKey(RegistryRoot root,
                                                             std::string_view path) {
  auto key = build(root, path);
  if (!key || !key->stored) return std::nullopt;
  key->access = access::kQueryValue | access::kSetValue;
  return remember(std::move(*key));
}

bool RegistryView::queryValue(platform::RegistryKey handle, std::string_view name,
                              std::span<std::uint8_t> buffer, std::uint32_t& length) {
  std::optional<std::vector<std::uint8_t>> value;
  {
    std::lock_guard lock(mutex_);
    const auto it = keys_.find(handle.value);
    if (it == keys_.end() || !(it->second.access & access::kQueryValue)) return false;
    const OpenKey& key = it->second;
    if (key.stored) {
      value = store_.value(key.root, key.path, name);
    } else if (const auto found = key.values.find(Upper(name)); found != key.values.end()) {
      value = found->second;
    }
  }
  if (!value || value->size() > buffer.size()) return false;  // missing, or ERROR_MORE_DATA
  std::copy(value->begin(), value->end(), buffer.begin());
  length = static_cast<std::uint32_t>(value->size());
  return true;
}

bool RegistryView::setValue(platform::RegistryKey handle, std::string_view name,
                            platform::RegistryType type, std::span<const std::uint8_t> data) {
  OpenKey key{};
  {
    std::lock_guard lock(mutex_);
    const auto it = keys_.find(handle.value);
    if (it == keys_.end() || !it->second.stored || !(it->second.access & access::kSetValue))
      return false;
    key = it->second;
  }
  return store_.setValue(key.root, key.path, name, type, data);
}

void RegistryView::closeKey(platform::RegistryKey handle) {
  std::lock_guard lock(mutex_);
  keys_.erase(handle.value);
}

std::size_t RegistryView::openKeyCount() const {
  std::lock_guard lock(mutex_);
  return keys_.size();
}

}  // namespace kx7::linux_backend
