#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/scenario/scenario_json.h"
#include "sim/world.h"

namespace kx7::sim::scenario {

// One entry of a scenario's "faults" list, checked, as what it does to the
// world: a rule of the world's Faults, or a player pulled out or plugged in
// at a virtual time. Players are named by index or serial among `serials`.
// Throws Refusal.
std::function<void(World&)> ReadFault(const Value& entry, const std::vector<std::string>& serials);

}  // namespace kx7::sim::scenario
