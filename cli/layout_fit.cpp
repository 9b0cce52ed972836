#include "cli/layout_fit.h"

#include "cli/feedback.h"
#include "cli/players.h"
#include "device/device_session.h"
#include "firmware/image_table.h"
#include "firmware/sdisk.h"

namespace kx7::cli {

namespace {

constexpr std::uint64_t kEraseBlock = 128 * 1024;

std::uint64_t Blocks(std::uint64_t bytes) {
  return (bytes + kEraseBlock - 1) / kEraseBlock * kEraseBlock;
}

// The smallest data drive a FAT volume fits, in bytes.
std::uint64_t SmallestDataDrive() {
  std::uint32_t low = 1;
  std::uint32_t high = 1u << 22;
  while (low < high) {
    const std::uint32_t mid = low + (high - low) / 2;
    CStSDisk disk;
    if (disk.Plan(mid, 512, ""))
      high = mid;
    else
      low = mid + 1;
  }
  return std::uint64_t{low} * 512;
}

}  // namespace

std::string LayoutMisfit(Context& c, char letter, const std::string& folder) {
  const auto media = MediaAt(c.library, letter);
  if (!media) return "";
  platform::FileSystem& files = c.library.Services().files;
  const SbInspection firmware = InspectSbFile(files, folder + kFirmwareFileName);
  const SbInspection bootlet = InspectSbFile(files, folder + kBootletFileName);
  std::uint64_t hidden = 0;
  DeviceSession session(c.library.Services());
  if (session.OpenByDriveLetter(letter))
    for (const auto& [tag, entry] : session.Drives)
      if (tag == DRIVE_TAG_DATA_HIDDEN || tag == DRIVE_TAG_DATA_SETTINGS)
        hidden += Blocks(entry.SizeInBytes);
  const std::uint64_t needs =
      3 * Blocks(firmware.size) + Blocks(bootlet.size) + hidden + Blocks(SmallestDataDrive());
  if (needs <= *media) return "";
  return "the new layout needs at least " + Bytes(needs) +
         " and the player's drives, which fill its media, take " + Bytes(*media) +
         ": the re-allocation would not fit";
}

}  // namespace kx7::cli
