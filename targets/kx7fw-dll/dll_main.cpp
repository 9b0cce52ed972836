// kx7fw.dll: the twelve exports (api/exports.cpp) on the Windows services.
// The backend and the library's whole state are built when the DLL is
// loaded. The runtime never destroys them: it would do so at
// DLL_PROCESS_DETACH, under the loader lock, where closing the device a
// failed update still holds would unlock with retries and waits and call
// the shell.
#include <windows.h>

#include <new>

#include "api/library.h"
#include "platform/win32/backend.h"

namespace {

struct ProcessState {
  ProcessState() : library(backend.services()) {}
  kx7::platform::win32::Win32Backend backend;
  kx7::Library library;
};

alignas(ProcessState) unsigned char g_storage[sizeof(ProcessState)];
ProcessState* g_state = nullptr;

// Builds the state during the DLL's static initialisation; its own
// destructor is trivial, so nothing is registered to run at detach.
struct StateBuilder {
  StateBuilder() { g_state = new (g_storage) ProcessState; }
};
StateBuilder g_builder;

}  // namespace

kx7::Library& kx7::ProcessLibrary() {
  return g_state->library;
}

kx7::ExportCall::ExportCall() noexcept {
  const platform::win32::SavedErrorMode saved = platform::win32::FailCriticalErrors();
  savedMode_ = saved.mode;
  threadMode_ = saved.threadMode;
}

kx7::ExportCall::~ExportCall() {
  platform::win32::RestoreErrorMode({savedMode_, threadMode_});
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason != DLL_PROCESS_DETACH || !g_state) return TRUE;
  // The process is ending: its other threads are gone and the system
  // closes every handle, which releases a volume lock. Touch nothing.
  if (reserved) return TRUE;
  // FreeLibrary: the device goes with its handle, and the memory is freed;
  // nothing here waits, calls the shell or reads the registry.
  g_state->library.ReleaseAtUnload();
  g_state->~ProcessState();
  g_state = nullptr;
  return TRUE;
}
