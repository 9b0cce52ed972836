// kx7fw.dll: the twelve exports (api/exports.cpp) on the Windows services.
// The backend and the library's whole state are built when the DLL is
// loaded; the entry point itself does nothing.
#include <windows.h>

#include "api/library.h"
#include "platform/win32/backend.h"

namespace {

kx7::platform::win32::Win32Backend g_backend;
kx7::Library g_library(g_backend.services());

}  // namespace

kx7::Library& kx7::ProcessLibrary() {
  return g_library;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
