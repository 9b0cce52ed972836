// The OS version and the fixed waits.
#include <windows.h>

#include "platform/win32/backend.h"

namespace kx7::platform::win32 {

// The extended record: 156 bytes, which every Windows the library runs on
// accepts.
static_assert(sizeof(OSVERSIONINFOEXA) == 156);

OsVersion Win32System::osVersion() {
  OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return {};
  return {info.dwMajorVersion, info.dwMinorVersion};
}

void Win32System::sleep(std::uint32_t milliseconds) {
  Sleep(milliseconds);
}

}  // namespace kx7::platform::win32
