// What the command-line tool adds to an update: the same normal update on
// the built-in world, through the library alone and with the tool's
// progress feedback following it (its lines written to /dev/null).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>

#include "api/library.h"
#include "cli/feedback.h"
#include "sim/scenario/default_scenario.h"

namespace kx7::bench {
namespace {

void NormalUpdate(benchmark::State& state) {
  const bool withFeedback = state.range(0) == 1;
  for (auto _ : state) {
    state.PauseTiming();
    sim::World world;
    sim::BuildDefaultScenario(world);
    Library library(world.services());
    cli::Feedback feedback(cli::ProgressStyle::Plain, [&] { return world.clock().now() / 1000.0; });
    if (withFeedback) library.SetProgressObserver(&feedback);
    state.ResumeTiming();
    if (library.DoNormalUpdate(sim::DefaultScenario::kSerial,
                               sim::DefaultScenario::kFirmwareFolder) != 0)
      return state.SkipWithError("update failed");
  }
  state.SetLabel(withFeedback ? "with the tool's feedback" : "library alone");
}
BENCHMARK(NormalUpdate)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kx7::bench

int main(int argc, char** argv) {
  // The feedback's lines go nowhere: what is measured is the work, not a
  // terminal. The figures go to standard error.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  return 0;
}
