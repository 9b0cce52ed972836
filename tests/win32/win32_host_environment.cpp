// The host-integration cases on the real Windows services. The Wine prefix
// the tests run in maps drive K: to the build folder (so the test program's
// Temp folder is K:\Temp) and drive P: to an empty folder that stands for a
// player's volume; each environment starts by emptying both.
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "platform/win32/backend.h"
#include "support/host_environment.h"

namespace kx7::test {

namespace {

namespace fs = std::filesystem;

// Removes what is inside `folder`, keeping the folder.
void Empty(const fs::path& folder) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored))
    fs::remove_all(entry.path(), ignored);
}

class Win32HostEnvironment final : public HostEnvironment {
 public:
  Win32HostEnvironment() {
    const std::string module = backend_.services().files.modulePath();
    const fs::path host = module.substr(0, 3);
    std::error_code ignored;
    fs::remove_all(host / "Temp", ignored);
    scratch_ = (host / "kx7fw-scratch").string();
    fs::remove_all(scratch_, ignored);
    fs::create_directory(scratch_);
    Empty(PlayerRoot());
  }
  ~Win32HostEnvironment() override { Empty(PlayerRoot()); }

  platform::Services services() override { return backend_.services(); }
  char playerLetter() const override { return 'P'; }
  void putPlayerFile(std::string_view name, std::span<const std::uint8_t> bytes) override {
    std::ofstream out(PlayerRoot() / std::string(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  void clearPlayer() override { Empty(PlayerRoot()); }
  std::string scratchFolder() const override { return scratch_; }
  void removeValue(platform::RegistryRoot root, std::string_view key,
                   std::string_view name) override {
    HKEY opened = nullptr;
    const HKEY top =
        root == platform::RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    if (RegOpenKeyExA(top, std::string(key).c_str(), 0, KEY_SET_VALUE, &opened) != ERROR_SUCCESS)
      return;
    RegDeleteValueA(opened, std::string(name).c_str());
    RegCloseKey(opened);
  }
  bool strictAsWindows() const override {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return !ntdll || !GetProcAddress(ntdll, "wine_get_version");
  }

 private:
  fs::path PlayerRoot() const { return fs::path(std::string(1, playerLetter()) + ":\\"); }

  platform::win32::Win32Backend backend_;
  std::string scratch_;
};

}  // namespace

std::unique_ptr<HostEnvironment> MakeHostEnvironment() {
  return std::make_unique<Win32HostEnvironment>();
}

}  // namespace kx7::test
