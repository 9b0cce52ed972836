#include "cli/host_world.h"

#include <fstream>

#include "sim/scenario/default_scenario.h"
#include "sim/scenario/scenario_file.h"

namespace kx7::cli {

std::unique_ptr<HostWorld> HostWorld::Open(const WorldOptions& options, std::string& error) {
  std::unique_ptr<HostWorld> world(new HostWorld);
  if (!options.simulation) {
    world->real_ = OpenRealBackend();
    if (world->real_) {
      world->description_ = world->real_->Description();
      return world;
    }
  }
  world->sim_ = std::make_unique<sim::World>();
  if (options.simulation && !options.simulation->empty()) {
    sim::ScenarioInfo info;
    if (!sim::LoadScenarioFile(*options.simulation, *world->sim_, info, error)) return nullptr;
    world->description_ = "the simulated world of " + *options.simulation +
                          (info.name.empty() ? "" : " (" + info.name + ")");
    world->defaultFolder_ = info.firmwareFolder;
    world->defaultSerial_ = info.serials.empty() ? "" : info.serials.front();
  } else {
    sim::BuildDefaultScenario(*world->sim_);
    world->description_ = options.simulation
                              ? "the built-in simulated world"
                              : "the built-in simulated world (this build has no backend for "
                                "real players)";
    world->defaultFolder_ = sim::DefaultScenario::kFirmwareFolder;
    world->defaultSerial_ = sim::DefaultScenario::kSerial;
  }
  world->sim_->setRealTime(options.realTime);
  return world;
}

HostWorld::~HostWorld() = default;

platform::Services HostWorld::Services() {
  return sim_ ? sim_->services() : real_->Services();
}

std::string HostWorld::PrepareDisk(char letter) {
  return real_ ? real_->PrepareDisk(letter) : "";
}

std::string HostWorld::TakeAccessProblem() {
  return real_ ? real_->TakeAccessProblem() : "";
}

double HostWorld::Seconds() const {
  if (sim_) return static_cast<double>(sim_->clock().now()) / 1000.0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void HostWorld::Wait(std::uint32_t milliseconds) {
  Services().clock.sleep(milliseconds);
}

bool HostWorld::HoldRecoveryButton() {
  if (!sim_) return false;
  for (std::size_t i = 0; i < sim_->playerCount(); ++i) {
    if (sim_->player(i).mode != sim::PlayerMode::Normal) continue;
    const std::uint64_t now = sim_->clock().now();
    sim_->unplug(i, now);
    sim_->plugInForRecovery(i, now + 1000);
    sim_->sleep(2000);
    return true;
  }
  return false;
}

bool HostWorld::WriteTrace(const std::string& path, std::string& error) const {
  if (!sim_) {
    error = "a transcript is kept of simulated worlds only";
    return false;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string lines = sim_->transcript().toJsonLines();
  out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
  if (!out) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace kx7::cli
