// Any drive size, sector size and label into the data-drive planner: a plan
// is either refused or a volume every FAT driver reads as what it claims.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "firmware/sdisk.h"
#include "fuzz/fuzz_check.h"
#include "util/byte_order.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto sectors = input.ConsumeIntegral<std::uint32_t>();
  // Mostly the sizes players have, now and then anything at all.
  const std::uint32_t sectorSize = input.ConsumeBool()
                                       ? 512u << input.ConsumeIntegralInRange<int>(0, 6)
                                       : input.ConsumeIntegral<std::uint32_t>();
  const std::string label = input.ConsumeRemainingBytesAsString();

  kx7::CStSDisk disk;
  if (!disk.Plan(sectors, sectorSize, label)) return 0;

  KX7_FUZZ_CHECK(disk.Geometry.Capacity <= sectors);
  KX7_FUZZ_CHECK(disk.Geometry.Capacity + disk.Geometry.Leftover == sectors);
  KX7_FUZZ_CHECK(disk.HiddenSectors() >= 1 && disk.HiddenSectors() <= 63);
  KX7_FUZZ_CHECK(disk.VolumeLabel.size() <= 11);
  const std::uint32_t clusters = disk.ClusterCount();
  if (disk.FatType == kx7::CStSDisk::Fat16) {
    KX7_FUZZ_CHECK(clusters >= 4085 && clusters < 65525);
  } else {
    KX7_FUZZ_CHECK(disk.FatType == kx7::CStSDisk::Fat32);
    KX7_FUZZ_CHECK(clusters >= 65525 && clusters <= 0x0FFFFFF4);
  }
  const std::uint64_t bitsPerEntry = disk.FatType == kx7::CStSDisk::Fat32 ? 32 : 16;
  KX7_FUZZ_CHECK(std::uint64_t{disk.FatSectors()} * sectorSize * 8 / bitsPerEntry >=
                 std::uint64_t{clusters} + 2);
  KX7_FUZZ_CHECK(kx7::GetLe32(&disk.Mbr[454]) == disk.HiddenSectors());
  KX7_FUZZ_CHECK(kx7::GetLe32(&disk.Mbr[458]) == disk.VolumeSectors());
  KX7_FUZZ_CHECK(kx7::GetLe16(&disk.BootSector[11]) == sectorSize);
  KX7_FUZZ_CHECK(disk.BootSector[510] == 0x55 && disk.BootSector[511] == 0xAA);
  return 0;
}
