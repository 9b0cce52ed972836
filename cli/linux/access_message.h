#pragma once

// What to tell a user whose update stopped at a device node.

#include <string>

#include "platform/linux/access_failure.h"

namespace kx7::cli {

// A message naming the node, what went wrong and what to do about it.
std::string AccessFailureMessage(const linux_backend::AccessFailure& failure);

}  // namespace kx7::cli
