// The shell's change notifications.
#include <windows.h>

#include <shlobj.h>

#include "platform/win32/backend.h"
#include "platform/win32/native.h"

namespace kx7::platform::win32 {

void Win32Shell::changeNotify(std::uint32_t events, std::uint32_t flags, std::string_view path) {
  const std::string text = Terminated(path);
  SHChangeNotify(static_cast<LONG>(events), flags, text.c_str(), nullptr);
}

}  // namespace kx7::platform::win32
