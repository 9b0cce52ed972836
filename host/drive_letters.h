#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kx7 {

// The drive letter of the player with this serial, or 0.
char FindDriveLetterForSerial(const platform::Services& services, std::string_view serial);

// The serial of the player at this drive letter (at most 32 characters).
std::optional<std::string> FindSerialForDriveLetter(const platform::Services& services,
                                                    char letter);

// The host-OS class: 2 (2000), 3 (XP), 4 (Server 2003 / XP x64), 7 or 8
// (Vista), 10 (anything else).
int ClassifyHostOs(const platform::Services& services);

}  // namespace kx7
