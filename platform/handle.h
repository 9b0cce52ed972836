#pragma once

#include <cstdint>

namespace kx7::platform {

// An OS handle as the library holds it. The distinction Windows draws between
// a null handle (nothing was opened) and INVALID_HANDLE_VALUE (an open was
// tried and failed) is part of the library's logic, so both are kept apart.
class Handle {
 public:
  constexpr Handle() = default;
  static constexpr Handle null() { return Handle(); }
  static constexpr Handle invalid() { return Handle(kInvalidValue); }
  static constexpr Handle fromValue(std::uintptr_t value) { return Handle(value); }

  constexpr bool isNull() const { return value_ == 0; }
  constexpr bool isInvalid() const { return value_ == kInvalidValue; }
  // Neither null nor invalid: something the backend handed out.
  constexpr bool isOpen() const { return !isNull() && !isInvalid(); }
  constexpr std::uintptr_t value() const { return value_; }

  friend constexpr bool operator==(Handle, Handle) = default;

 private:
  static constexpr std::uintptr_t kInvalidValue = ~std::uintptr_t{0};
  constexpr explicit Handle(std::uintptr_t value) : value_(value) {}
  std::uintptr_t value_ = 0;
};

}  // namespace kx7::platform
