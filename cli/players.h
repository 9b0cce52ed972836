#pragma once

// What the tool finds out about the attached players, through the library
// and the same lower layers the library uses.

#include <optional>
#include <string>
#include <vector>

#include "api/library.h"
#include "kx7fw/kx7fw.h"

namespace kx7::cli {

struct PlayerEntry {
  std::string serial;  // empty for an updater (it has no player serial)
  char letter = 0;
  std::string mode;  // "normal" or "updater"
};

// Players in mass-storage mode: those the device list names, then updaters
// found at drive letters.
std::vector<PlayerEntry> ListPlayers(Library& library);
// Whether a player in ROM recovery mode answers over HID.
bool RecoveryDevicePresent(Library& library);
// The HID interface paths of every player in ROM recovery mode.
std::vector<std::string> RecoveryDevicePaths(Library& library);
// The version triple of the player's first firmware drive (0x50) as the
// session at `letter` reads it; nothing when it does not open or has none.
std::optional<VersionTriple> FirmwareAt(Library& library, char letter);
// The sum of the sizes of the player's drives, which fill its media.
std::optional<std::uint64_t> MediaAt(Library& library, char letter);

// Where a player is now, found as an updater application would look.
struct PlayerNow {
  std::string mode;  // "normal", "updater", "rom-recovery" or "absent"
  char letter = 0;
  std::string firmware;  // "1.01" in normal mode
  std::string Text() const;
};
PlayerNow ProbePlayer(Library& library, const std::string& serial);
// GetDeviceInfo; nothing when it does not answer 0.
std::optional<DeviceInfo> QueryDevice(Library& library, const std::string& serial, int& result);
// The first player the device list names, or "".
std::string FirstSerial(Library& library);

// One SB file as the tool reads it: what its header holds, or why it is not
// an SB file the library would take.
struct SbInspection {
  bool valid = false;
  std::string reason;
  std::string signature;
  bool newerLayout = false;
  VersionTriple product = {0, 0, 0};
  VersionTriple component = {0, 0, 0};
  std::uint64_t size = 0;
};
SbInspection InspectSbFile(platform::FileSystem& files, const std::string& path);

// The files an update needs from `folder`, each loaded as the library
// would; one line per file that is missing or not valid.
std::vector<std::string> CheckFirmwareFolder(platform::FileSystem& files, const std::string& folder,
                                             bool withBootlet);

std::string VersionText(const VersionTriple& version);

}  // namespace kx7::cli
