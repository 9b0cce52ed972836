#pragma once

// What the library's result codes mean, for people and for scripts, from
// the library's table of them.

#include "api/result_table.h"

namespace kx7::cli {

using Operation = result::Export;

// The meaning of `code` as the operation returns it; "unexpected result"
// for a code the operation never returns.
const char* ResultMeaning(Operation operation, int code);

// Exit codes of the tool.
namespace exit_code {
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;    // the library reported a failure
inline constexpr int kUsage = 2;     // the command line was wrong
inline constexpr int kRefused = 3;   // stopped before touching the player
inline constexpr int kInternal = 4;  // the tool itself failed
}  // namespace exit_code

}  // namespace kx7::cli
