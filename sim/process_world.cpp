// The process-wide world of the kx7fw-sim library: the twelve exports run on
// the default scenario, and a few kx7sim_ functions let a host application
// inspect and reset it.
#include <cstring>
#include <memory>

#include "api/library.h"
#include "kx7fw/kx7fw.h"
#include "sim/scenario.h"
#include "sim/world.h"

namespace {

struct ProcessWorld {
  ProcessWorld() { reset(); }
  void reset() {
    library.reset();
    world = std::make_unique<kx7::sim::World>();
    kx7::sim::BuildDefaultScenario(*world);
    library = std::make_unique<kx7::Library>(world->services());
  }
  std::unique_ptr<kx7::sim::World> world;
  std::unique_ptr<kx7::Library> library;
};

// Built when the library is loaded.
ProcessWorld g_process;

// Copies `text` with its terminator when it fits; returns the size needed.
int CopyOut(const std::string& text, char* out, int size) {
  const int needed = static_cast<int>(text.size()) + 1;
  if (out && size >= needed) std::memcpy(out, text.c_str(), text.size() + 1);
  return needed;
}

}  // namespace

kx7::Library& kx7::ProcessLibrary() {
  return *g_process.library;
}

extern "C" {

// Puts the world back to the default scenario; 1 while an operation runs.
KX7FW_API int kx7sim_reset(void) {
  if (g_process.library->Busy()) return 1;
  g_process.reset();
  return 0;
}

// The transcript as JSON Lines into out; returns the size it needs.
KX7FW_API int kx7sim_transcript(char* out, int size) {
  return CopyOut(g_process.world->transcript().toJsonLines(), out, size);
}

// The default scenario's firmware folder (with its trailing separator).
KX7FW_API int kx7sim_firmware_folder(char* out, int size) {
  return CopyOut(kx7::sim::DefaultScenario::kFirmwareFolder, out, size);
}

// The serial of the default scenario's player.
KX7FW_API int kx7sim_player_serial(char* out, int size) {
  return CopyOut(kx7::sim::DefaultScenario::kSerial, out, size);
}

// Lets virtual time pass, as a host application waiting for the player
// would; 1 while an operation runs.
KX7FW_API int kx7sim_advance_ms(unsigned milliseconds) {
  if (g_process.library->Busy()) return 1;
  g_process.world->sleep(milliseconds);
  return 0;
}

// Virtual milliseconds since the world was made.
KX7FW_API long long kx7sim_virtual_time_ms(void) {
  return static_cast<long long>(g_process.world->clock().now());
}

}  // extern "C"
