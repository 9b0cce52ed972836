// Any text as a scenario file: the loader refuses it with a reason, or
// builds a world the library can then be driven on.
#include <string>

#include "api/library.h"
#include "fuzz/fuzz_check.h"
#include "kx7fw/kx7fw.h"
#include "sim/scenario/scenario_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kx7::sim::World world;
  kx7::sim::ScenarioInfo info;
  std::string error;
  const bool loaded = kx7::sim::LoadScenarioText(text, "fuzz.json", world, info, error);
  KX7_FUZZ_CHECK(loaded == error.empty());
  if (!loaded) {
    KX7_FUZZ_CHECK(error.rfind("fuzz.json", 0) == 0);
    return 0;
  }
  // What was loaded holds up to a look from the library.
  kx7::Library library(world.services());
  char list[26];
  KX7_FUZZ_CHECK(library.MSCDeviceList(list) >= 0);
  for (const std::string& serial : info.serials) {
    DeviceInfo device;
    const int result = library.GetDeviceInfo(serial.c_str(), &device);
    KX7_FUZZ_CHECK(result == 0 || result == 1 || result == 5);
  }
  KX7_FUZZ_CHECK(!library.Busy());
  return 0;
}
