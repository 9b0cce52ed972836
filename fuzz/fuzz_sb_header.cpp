// Any bytes as a firmware file: the library's reading of an SB header must
// never crash, and must accept exactly what the format allows.
#include <cstdint>
#include <cstring>
#include <vector>

#include "api/library.h"
#include "firmware/fw_component.h"
#include "fuzz/fuzz_check.h"
#include "sim/world.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  kx7::sim::World world;
  const std::string folder = "C:\\Firmware\\";
  const std::string path = folder + "firmware.sb";
  world.files().addFile(path, bytes);
  const kx7::platform::Services services = world.services();

  kx7::CStFwComponent component;
  const bool loaded = component.Load(services.files, path);
  const bool signature = size >= 0x60 && (std::memcmp(data + 0x14, "STMP", 4) == 0 ||
                                          std::memcmp(data + 0x14, "RSRC", 4) == 0);
  KX7_FUZZ_CHECK(loaded == signature);
  KX7_FUZZ_CHECK(loaded == !component.FilePath.empty());
  if (loaded) {
    KX7_FUZZ_CHECK(component.ImageSize == size);
    for (std::uint16_t v : component.ProductVersion) KX7_FUZZ_CHECK(v <= 16665);
    for (std::uint16_t v : component.ComponentVersion) KX7_FUZZ_CHECK(v <= 16665);
    std::vector<std::uint8_t> read;
    KX7_FUZZ_CHECK(kx7::ReadImageFile(services.files, component, read));
    KX7_FUZZ_CHECK(read == bytes);
  }

  // The same file through the export that reports its version.
  kx7::Library library(services);
  char version[16] = {};
  const int result = library.GetLocalVersion(folder.c_str(), version, sizeof version);
  KX7_FUZZ_CHECK(result == (loaded ? 0 : 2));
  if (result == 0) KX7_FUZZ_CHECK(std::strchr(version, '.') != nullptr);
  KX7_FUZZ_CHECK(!library.Busy());
  return 0;
}
