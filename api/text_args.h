#pragma once

namespace kx7 {

// An argument string the host left out or passed empty.
inline bool IsEmptyText(const char* text) {
  return text == nullptr || text[0] == '\0';
}

}  // namespace kx7
