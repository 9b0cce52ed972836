#pragma once

// Whether a recovery's new layout fits the player's media: three firmware
// drives of the new firmware's size, the bootlet, the hidden drives as they
// are now and the smallest data drive a FAT volume fits, each rounded up to
// whole erase blocks, against the media the player's drives fill today.

#include <string>

#include "cli/commands.h"

namespace kx7::cli {

// "" when it fits or cannot be told (the player's drives do not answer);
// else why it does not, for people.
std::string LayoutMisfit(Context& c, char letter, const std::string& folder);

}  // namespace kx7::cli
