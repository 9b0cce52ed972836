#pragma once

// The udev rules that let the logged-in user reach the player in all its
// modes, for `kx7fw udev-rules`. The text is the rules file of the Linux
// backend, built in.

#include <string_view>

namespace kx7::cli {

inline constexpr std::string_view kUdevRulesFileName = "70-kx7fw.rules";

std::string_view UdevRulesText();

// How to install the printed rules, for the help text and error messages.
std::string_view UdevRulesInstallHint();

}  // namespace kx7::cli
