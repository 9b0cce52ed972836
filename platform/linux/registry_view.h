#pragma once

// The registry as the library's drive-letter and serial lookups read it,
// built from the USB tree on every open (see docs/linux.md):
//   HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion   ProductName "Windows 7"
//   HKLM\SYSTEM\MountedDevices   "\DosDevices\X:" per USB disk letter: the
//       disk's "\??\USBSTOR#Disk&Ven_..#<serial>&0#{..}" path in UTF-16LE
//   HKLM\SYSTEM\CurrentControlSet\Enum\USBSTOR\Disk&Ven_..\<serial>&0
//       ParentIdPrefix
// Everything else is absent and nothing can be written, except the two
// AutoPlay keys, whose values live in the per-user AutoplayStore.

#include <map>
#include <mutex>
#include <string>

#include "platform/linux/autoplay_store.h"
#include "platform/linux/linux_config.h"
#include "platform/linux/usb_disks.h"
#include "platform/registry.h"

namespace kx7::linux_backend {

class RegistryView final : public platform::Registry {
 public:
  RegistryView(const LinuxConfig& config, AutoplayStore& store, LetterBook& letters)
      : config_(config), store_(store), letters_(letters) {}

  std::optional<platform::RegistryKey> openKey(platform::RegistryRoot root, std::string_view path,
                                               std::uint32_t access) override;
  std::optional<platform::RegistryKey> createKey(platform::RegistryRoot root,
                                                 std::string_view path) override;
  bool queryValue(platform::RegistryKey key, std::string_view name, std::span<std::uint8_t> buffer,
                  std::uint32_t& length) override;
  bool setValue(platform::RegistryKey key, std::string_view name, platform::RegistryType type,
                std::span<const std::uint8_t> data) override;
  void closeKey(platform::RegistryKey key) override;

  std::size_t openKeyCount() const;

 private:
  struct OpenKey {
    platform::RegistryRoot root;
    std::string path;  // as the store names it
    std::uint32_t access = 0;
    bool stored = false;  // an AutoPlay key: values in the store
    std::map<std::string, std::vector<std::uint8_t>> values;  // by upper-case name
  };
  std::optional<OpenKey> build(platform::RegistryRoot root, std::string_view path);
  std::optional<platform::RegistryKey> remember(OpenKey key);

  const LinuxConfig& config_;
  AutoplayStore& store_;
  LetterBook& letters_;
  mutable std::mutex mutex_;
  std::map<std::uintptr_t, OpenKey> keys_;
  std::uintptr_t next_ = 0x3000;
};

}  // namespace kx7::linux_backend
