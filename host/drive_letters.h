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

// The host-OS classes the library tells apart, by their numbers in the
// system's own classification.
enum class HostOs : int {
  Windows2000 = 2,
  WindowsXp = 3,
  Server2003 = 4,  // and XP x64, and any other 5.x
  Vista = 7,
  Vista64 = 8,
  Later = 10,  // 7 and every version after it, and anything unknown
};

HostOs ClassifyHostOs(const platform::Services& services);

}  // namespace kx7
