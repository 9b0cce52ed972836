// Planning the data drive: the time of one plan, and the worst over a spread
// of sector counts (the geometry walk's cost depends on where the count
// crosses the cylinder/head rows).
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "firmware/sdisk.h"

namespace {

std::vector<std::uint32_t> Counts() {
  std::vector<std::uint32_t> counts = {4300,    65535,    131071,   2097151,
                                       8388607, 16450561, 16515071, 16515072};
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i)
    counts.push_back(std::uniform_int_distribution<std::uint32_t>(4300, 16515071)(random));
  return counts;
}

void PlanOne(benchmark::State& state) {
  const auto count = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    kx7::CStSDisk disk;
    benchmark::DoNotOptimize(disk.Plan(count, 512, ""));
  }
}
BENCHMARK(PlanOne)->Arg(131071)->Arg(8388607)->Arg(16515071)->Arg(16515072)->Unit(
    benchmark::kMicrosecond);

double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The slowest single plan over the spread, in milliseconds: on the clock on
// the wall, and in this thread's processor time (what the plan itself costs,
// whatever else the machine is doing).
void PlanWorstCase(benchmark::State& state) {
  const std::vector<std::uint32_t> counts = Counts();
  double worstWall = 0;
  double worstCpu = 0;
  for (auto _ : state) {
    for (std::uint32_t count : counts) {
      const auto start = std::chrono::steady_clock::now();
      const double cpuStart = ThreadCpuMs();
      kx7::CStSDisk disk;
      benchmark::DoNotOptimize(disk.Plan(count, 512, ""));
      worstCpu = std::max(worstCpu, ThreadCpuMs() - cpuStart);
      const std::chrono::duration<double, std::milli> took =
          std::chrono::steady_clock::now() - start;
      worstWall = std::max(worstWall, took.count());
    }
  }
  state.counters["worst_wall_ms"] = worstWall;
  state.counters["worst_cpu_ms"] = worstCpu;
  state.counters["limit_ms"] = 5.0;
}
BENCHMARK(PlanWorstCase)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
