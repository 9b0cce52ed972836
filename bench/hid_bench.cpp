// The updater download over HID: reports per second through the library and
// the simulated ROM, against the same reports handed to a transport that
// takes each at once.
#include <benchmark/benchmark.h>

#include <chrono>

#include "bench/bench_world.h"
#include "firmware/hid_recovery.h"
#include "firmware/image_table.h"

namespace kx7::bench {
namespace {

constexpr std::size_t kUpdaterBytes = 4u << 20;

class InstantHid final : public platform::HidTransport {
 public:
  platform::Handle open(std::string_view) override { return platform::Handle::fromValue(1); }
  void close(platform::Handle) override {}
  bool readCaps(platform::Handle, platform::HidCaps&, std::uint32_t&) override { return false; }
  bool writeReport(platform::Handle, std::span<const std::uint8_t> report) override {
    benchmark::DoNotOptimize(report.data());
    ++reports;
    return true;
  }
  std::uint64_t reports = 0;
};

// One download of `world`'s updater through `services`; the milliseconds.
double Download(const platform::Services& services, platform::Handle handle) {
  ImageTable images = MakeInitialImageTable();
  images[image_row::kUpdater].FilePath = std::string(kFolder) + "updater.sb";
  auto device = HidRecoveryDevice::Create(services);
  device->Handle = handle;
  device->Caps.outputReportByteLength = 1025;
  device->Caps.inputReportByteLength = 1025;
  const auto start = std::chrono::steady_clock::now();
  const bool sent = device->DownloadImage(images);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  device->Handle = platform::Handle::null();
  return sent ? ms : -1;
}

void HidDownload(benchmark::State& state) {
  double simulatedMs = 0;
  double instantMs = 0;
  std::uint64_t reports = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto world = MakeWorld(1 << 20, sim::PlayerMode::RomRecovery);
    world->files().addFile(std::string(kFolder) + "updater.sb",
                           sim::BuildSbFile({.size = kUpdaterBytes, .seed = 11}));
    platform::Services services = world->services();
    const platform::Handle rom = services.hid.open(world->recoveryHidPath(0));
    InstantHid instant;
    platform::Services direct{services.volumes,  services.devices, instant,
                              services.registry, services.shell,   services.com,
                              services.files,    services.system,  services.clock};
    state.ResumeTiming();
    const double throughRom = Download(services, rom);
    const double throughInstant = Download(direct, platform::Handle::fromValue(1));
    if (throughRom < 0 || throughInstant < 0) return state.SkipWithError("download failed");
    simulatedMs += throughRom;
    instantMs += throughInstant;
    reports += instant.reports;
  }
  const double seconds = simulatedMs / 1000.0;
  state.counters["reports_per_s"] = static_cast<double>(reports) / seconds;
  state.counters["instant_reports_per_s"] = static_cast<double>(reports) / (instantMs / 1000.0);
  state.counters["ratio_to_instant"] = simulatedMs / instantMs;
}
BENCHMARK(HidDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kx7::bench

BENCHMARK_MAIN();
