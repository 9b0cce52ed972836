// The error mode around each export.
#include <windows.h>

#include "platform/win32/backend.h"

namespace kx7::platform::win32 {

namespace {

using SetThreadErrorModeFunction = BOOL(WINAPI*)(DWORD, LPDWORD);

// Windows 7 and later only; a direct import would keep the DLL from loading
// on older systems.
SetThreadErrorModeFunction ThreadErrorModeSetter() {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return nullptr;
  return reinterpret_cast<SetThreadErrorModeFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadErrorMode")));
}

}  // namespace

SavedErrorMode FailCriticalErrors(bool threadModeIfAvailable) {
  SavedErrorMode saved;
  if (const auto setThreadMode = threadModeIfAvailable ? ThreadErrorModeSetter() : nullptr) {
    DWORD old = 0;
    if (setThreadMode(SEM_FAILCRITICALERRORS, &old)) {
      // Keep whatever else the caller had asked for.
      if (old & ~static_cast<DWORD>(SEM_FAILCRITICALERRORS))
        setThreadMode(old | SEM_FAILCRITICALERRORS, nullptr);
      saved.mode = old;
      saved.threadMode = true;
      return saved;
    }
  }
  // SetErrorMode answers the earlier mode; set once more to keep its other
  // flags (GetErrorMode is Vista and later).
  const UINT old = SetErrorMode(SEM_FAILCRITICALERRORS);
  if (old & ~static_cast<UINT>(SEM_FAILCRITICALERRORS)) SetErrorMode(old | SEM_FAILCRITICALERRORS);
  saved.mode = old;
  return saved;
}

void RestoreErrorMode(const SavedErrorMode& saved) {
  if (saved.threadMode) {
    if (const auto setThreadMode = ThreadErrorModeSetter()) setThreadMode(saved.mode, nullptr);
    return;
  }
  SetErrorMode(saved.mode);
}

}  // namespace kx7::platform::win32
