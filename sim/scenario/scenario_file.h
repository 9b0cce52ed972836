#pragma once

#include <string>
#include <vector>

#include "sim/world.h"

namespace kx7::sim {

// What a host application needs to know of a world loaded from a scenario
// file to drive the library on it.
struct ScenarioInfo {
  std::string name;
  std::string description;
  // The folder to pass to the library, ending in its separator; empty when
  // the scenario gives no firmware.
  std::string firmwareFolder;
  // The players' serials, in the order of the file.
  std::vector<std::string> serials;
};

// Builds the world a scenario file describes (JSON; the format is in
// docs/scenarios.md) into `world`, which should be freshly made. A file that
// cannot be read or does not describe a world is refused with false and
// `error` naming the file, the place (line and column of a syntax error, or
// the JSON pointer of a wrong value such as /players/0/letter) and the
// reason; the world is then left as it was.
bool LoadScenarioFile(const std::string& path, World& world, ScenarioInfo& info,
                      std::string& error);

// The same for a scenario given as text. `fileName` names it in errors, and
// a real firmware folder given with a relative path is taken relative to the
// folder `fileName` is in.
bool LoadScenarioText(const std::string& text, const std::string& fileName, World& world,
                      ScenarioInfo& info, std::string& error);

}  // namespace kx7::sim
