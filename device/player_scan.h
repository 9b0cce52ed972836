#pragma once

#include <functional>

#include "platform/platform.h"

namespace kx7 {

// Calls `visit` for every drive letter from 'B' to 'Z' present in the host's
// logical-drive mask, in ascending order, until it returns true. 'A' is never
// visited. Returns the letter that ended the walk, or 0.
char ForEachPresentLetter(const platform::Services& services,
                          const std::function<bool(char letter)>& visit);

// Number of drive letters at which a player in normal mass-storage mode
// (device kind 3) opens.
int CountPlayers(const platform::Services& services);

}  // namespace kx7
