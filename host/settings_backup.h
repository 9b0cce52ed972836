#pragma once

#include <string_view>

#include "platform/platform.h"

namespace kx7 {

// Copies the player's "PERSIST.BIN" and "DEVDIVERSITY.INI" into
// <host>:\Temp\<serial>, never overwriting an earlier backup. Always 0.
int BackupDeviceSettings(const platform::Services& services, std::string_view serial,
                         std::string_view deviceLetterText);

// Puts a backup back on the player ("DEVDIVERSITY.INI" becomes
// "DEVCONFIG.INI"), never overwriting the player's own files. Always 0.
int RestoreDeviceSettings(const platform::Services& services, std::string_view serial,
                          std::string_view deviceLetterText);

// The region byte (offset 2, signed) of the backed-up "PERSIST.BIN" of the
// player at `letter`, or 0.
int ReadRegionCode(const platform::Services& services, char letter);

}  // namespace kx7
