#pragma once

// What the service files share: the conversions between the library's
// handles and text and the system's.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/handle.h"

namespace kx7::platform::win32 {

inline HANDLE ToNative(Handle handle) {
  return reinterpret_cast<HANDLE>(handle.value());
}

// INVALID_HANDLE_VALUE maps onto Handle::invalid(), a null handle onto
// Handle::null().
inline Handle FromNative(HANDLE handle) {
  return Handle::fromValue(reinterpret_cast<std::uintptr_t>(handle));
}

// The system wants zero-terminated text.
inline std::string Terminated(std::string_view text) {
  return std::string(text);
}

// CreateFileA as the library opens devices: read and write, shared for both,
// no security attributes, OPEN_EXISTING, no flags, no template.
inline Handle OpenForReadWrite(std::string_view path) {
  return FromNative(CreateFileA(Terminated(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
}

inline void CloseIfOpen(Handle handle) {
  if (handle.isOpen()) CloseHandle(ToNative(handle));
}

}  // namespace kx7::platform::win32
