// The process-wide world of the kx7fw-sim library: the twelve exports run on
// the default scenario or on one loaded from a file, and the kx7sim_
// functions let a host application choose, inspect and drive it.
#include <cstring>
#include <fstream>
#include <memory>

#include "api/library.h"
#include "kx7fw/kx7sim.h"
#include "sim/scenario/default_scenario.h"
#include "sim/scenario/scenario_file.h"
#include "sim/world.h"

namespace {

constexpr int kOk = 0;
constexpr int kBusy = 1;
constexpr int kRefused = 2;  // no such player or drive; a scenario refused
constexpr int kFileError = 3;

struct ProcessWorld {
  ProcessWorld() { reset(); }

  void reset() {
    auto fresh = std::make_unique<kx7::sim::World>();
    kx7::sim::BuildDefaultScenario(*fresh);
    info = {};
    info.name = "default";
    info.firmwareFolder = kx7::sim::DefaultScenario::kFirmwareFolder;
    info.serials = {kx7::sim::DefaultScenario::kSerial};
    install(std::move(fresh));
  }

  // The library goes before the world it was built on.
  void install(std::unique_ptr<kx7::sim::World> fresh) {
    fresh->setRealTime(realTime);
    library.reset();
    world = std::move(fresh);
    library = std::make_unique<kx7::Library>(world->services());
  }

  // The index of the player with this serial (the first for null), or -1.
  int playerIndex(const char* serial) const {
    if (!serial) return world->playerCount() > 0 ? 0 : -1;
    for (std::size_t i = 0; i < world->playerCount(); ++i)
      if (world->player(i).config.serial == serial) return static_cast<int>(i);
    return -1;
  }

  std::unique_ptr<kx7::sim::World> world;
  std::unique_ptr<kx7::Library> library;
  kx7::sim::ScenarioInfo info;
  std::string scenarioError;
  bool realTime = false;
};

// Built when the library is loaded.
ProcessWorld g_process;

bool Busy() {
  return g_process.library->Busy();
}

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

// The simulated host asks nothing of the calling thread.
kx7::ExportCall::ExportCall() noexcept = default;
kx7::ExportCall::~ExportCall() = default;

extern "C" {

KX7FW_API int KX7FW_CALL kx7sim_reset(void) {
  if (Busy()) return kBusy;
  g_process.reset();
  return kOk;
}

KX7FW_API int KX7FW_CALL kx7sim_load_scenario(const char* path) {
  if (Busy()) return kBusy;
  auto fresh = std::make_unique<kx7::sim::World>();
  kx7::sim::ScenarioInfo info;
  if (!path || !kx7::sim::LoadScenarioFile(path, *fresh, info, g_process.scenarioError)) {
    if (!path) g_process.scenarioError = "no scenario file given";
    return kRefused;
  }
  g_process.scenarioError.clear();
  g_process.info = std::move(info);
  g_process.install(std::move(fresh));
  return kOk;
}

KX7FW_API int KX7FW_CALL kx7sim_scenario_error(char* out, int size) {
  return CopyOut(g_process.scenarioError, out, size);
}

KX7FW_API int KX7FW_CALL kx7sim_firmware_folder(char* out, int size) {
  return CopyOut(g_process.info.firmwareFolder, out, size);
}

KX7FW_API int KX7FW_CALL kx7sim_player_count(void) {
  const auto guard = g_process.world->lock();  // the world may be busy on another thread
  return static_cast<int>(g_process.world->playerCount());
}

KX7FW_API int KX7FW_CALL kx7sim_player_serial(char* out, int size) {
  const auto guard = g_process.world->lock();  // the world may be busy on another thread
  const int index = g_process.playerIndex(nullptr);
  return CopyOut(index < 0 ? "" : g_process.world->player(0).config.serial, out, size);
}

KX7FW_API int KX7FW_CALL kx7sim_player_serial_at(int index, char* out, int size) {
  const auto guard = g_process.world->lock();  // the world may be busy on another thread
  if (index < 0 || static_cast<std::size_t>(index) >= g_process.world->playerCount()) return 0;
  return CopyOut(g_process.world->player(static_cast<std::size_t>(index)).config.serial, out, size);
}

KX7FW_API int KX7FW_CALL kx7sim_transcript(char* out, int size) {
  const auto guard = g_process.world->lock();  // the world may be busy on another thread
  return CopyOut(g_process.world->transcript().toJsonLines(), out, size);
}

KX7FW_API int KX7FW_CALL kx7sim_write_transcript(const char* path) {
  const auto guard = g_process.world->lock();  // the world may be busy on another thread
  if (Busy()) return kBusy;
  if (!path) return kFileError;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << g_process.world->transcript().toJsonLines();
  file.close();
  return file ? kOk : kFileError;
}

KX7FW_API int KX7FW_CALL kx7sim_export_drive(const char* serial, int tag, const char* path) {
  const auto guard = g_process.world->lock();  // the world may be busy on another thread
  if (Busy()) return kBusy;
  const int index = g_process.playerIndex(serial);
  if (index < 0 || tag < 0 || tag > 0xFF) return kRefused;
  const kx7::sim::SimDrive* drive = g_process.world->player(static_cast<std::size_t>(index))
                                        .driveByTag(static_cast<std::uint8_t>(tag));
  if (!drive) return kRefused;
  return path && drive->media.exportTo(path, 0, drive->sizeBytes) ? kOk : kFileError;
}

KX7FW_API int KX7FW_CALL kx7sim_export_data_drive(const char* serial, const char* path) {
  const auto guard = g_process.world->lock();  // the world may be busy on another thread
  if (Busy()) return kBusy;
  const int index = g_process.playerIndex(serial);
  if (index < 0 || !g_process.world->player(static_cast<std::size_t>(index)).dataDrive())
    return kRefused;
  return path && g_process.world->exportDataDrive(static_cast<std::size_t>(index), path)
             ? kOk
             : kFileError;
}

KX7FW_API int KX7FW_CALL kx7sim_export_data_volume(const char* serial, const char* path) {
  const auto guard = g_process.world->lock();  // the world may be busy on another thread
  if (Busy()) return kBusy;
  const int index = g_process.playerIndex(serial);
  if (index < 0 || !g_process.world->player(static_cast<std::size_t>(index)).dataDrive())
    return kRefused;
  return path && g_process.world->exportDataVolume(static_cast<std::size_t>(index), path)
             ? kOk
             : kFileError;
}

KX7FW_API int KX7FW_CALL kx7sim_advance_ms(unsigned milliseconds) {
  if (Busy()) return kBusy;
  g_process.world->sleep(milliseconds);
  return kOk;
}

KX7FW_API long long KX7FW_CALL kx7sim_virtual_time_ms(void) {
  return static_cast<long long>(g_process.world->clock().now());
}

KX7FW_API int KX7FW_CALL kx7sim_set_real_time(int on) {
  if (Busy()) return kBusy;
  g_process.realTime = on != 0;
  g_process.world->setRealTime(g_process.realTime);
  return kOk;
}

}  // extern "C"
