// The C++ runtime linked into kx7fw.dll (libstdc++ on winpthreads) imports
// GetTickCount64 for its timed waits. Windows XP's kernel32 has no such
// function, and a single unresolved import keeps the whole DLL from loading
// there. The import slot the runtime calls through is defined here instead:
// it reaches the system's GetTickCount64 where there is one, and extends
// GetTickCount to 64 bits where not.
#include <windows.h>

#include <atomic>
#include <cstdint>

namespace {

using TickCount64Function = ULONGLONG(WINAPI*)();

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// The last value handed out. GetTickCount wraps every 49.7 days; a wrap is
// seen as a reading below the last one, so this holds as long as the
// runtime asks at least once in that span.
std::atomic<std::uint64_t> g_lastTicks{0};

ULONGLONG WINAPI ExtendedTickCount() {
  std::uint64_t last = g_lastTicks.load();
  for (;;) {
    std::uint64_t next = (last & ~std::uint64_t{0xFFFFFFFF}) | GetTickCount();
    if (next < last) next += std::uint64_t{1} << 32;
    if (g_lastTicks.compare_exchange_weak(last, next)) return next;
  }
}

ULONGLONG WINAPI FirstTickCount64();

}  // namespace

// The slot's assembler name is the one the import library would define.
extern "C" {
#if defined(__i386__)
TickCount64Function g_importGetTickCount64 __asm__("__imp__GetTickCount64@0") = &FirstTickCount64;
#else
TickCount64Function g_importGetTickCount64 __asm__("__imp_GetTickCount64") = &FirstTickCount64;
#endif
}

namespace {

// The first call decides for all later ones.
ULONGLONG WINAPI FirstTickCount64() {
  TickCount64Function system = nullptr;
  if (const HMODULE kernel = GetModuleHandleA("kernel32.dll"))
    system = reinterpret_cast<TickCount64Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "GetTickCount64")));
  const TickCount64Function chosen = system ? system : &ExtendedTickCount;
  __atomic_store_n(&g_importGetTickCount64, chosen, __ATOMIC_RELEASE);
  return chosen();
}

}  // namespace
