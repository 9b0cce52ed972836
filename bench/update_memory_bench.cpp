// Peak memory of a full normal update with a 32 MiB firmware file, next to
// the image's size: the process's peak resident set, and how far the update
// raised it above what the world alone holds.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "api/library.h"
#include "bench/bench_world.h"

namespace kx7::bench {
namespace {

constexpr std::size_t kImageBytes = 32u << 20;

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
double StatusMiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  return 0;
}

// Lets the peak start again from the present resident set.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

void NormalUpdatePeakMemory(benchmark::State& state) {
  double peak = 0;
  double before = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto world = MakeWorld(kImageBytes, sim::PlayerMode::Normal);
    Library library(world->services());
    before = StatusMiB("VmRSS");
    ResetPeak();
    state.ResumeTiming();
    if (library.DoNormalUpdate(kSerial, kFolder) != 0) return state.SkipWithError("update failed");
    peak = StatusMiB("VmHWM");
  }
  const double image = static_cast<double>(kImageBytes) / (1024.0 * 1024.0);
  state.counters["image_MiB"] = image;
  state.counters["rss_before_MiB"] = before;
  state.counters["peak_MiB"] = peak;
  state.counters["peak_over_image"] = peak / image;
  state.counters["limit_MiB"] = 3 * image + 16;
}
BENCHMARK(NormalUpdatePeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace kx7::bench

BENCHMARK_MAIN();
