#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace kx7 {

// {66A32FE6-229D-427B-A608-D273F40C034C}
inline constexpr platform::Guid AutoPlayRejectClassId = {
    0x66A32FE6, 0x229D, 0x427B, {0xA6, 0x08, 0xD2, 0x73, 0xF4, 0x0C, 0x03, 0x4C}};

// Keeps AutoPlay out of the way while an update makes the player's volumes
// come and go: on construction it saves and switches off the user's AutoPlay
// setting (Vista and later) and lists its class among the shell's AutoPlay
// cancel handlers; on destruction it puts the setting back and revokes its
// running-object registration.
class CAutoPlayReject {
 public:
  explicit CAutoPlayReject(const platform::Services& services);
  ~CAutoPlayReject();
  CAutoPlayReject(const CAutoPlayReject&) = delete;
  CAutoPlayReject& operator=(const CAutoPlayReject&) = delete;

  // Registers a CQueryCancelAutoplay in the running-object table under a
  // class moniker of AutoPlayRejectClassId.
  platform::HResult RegisterInRunningObjectTable();

  // The shell's question before AutoPlay: S_FALSE (cancel) for any volume
  // whose path holds one of the letters D to Z.
  class CQueryCancelAutoplay;

  std::uint32_t RotCookie = 0;
  bool Registered = false;
  std::int32_t SavedDisableAutoplay = -1;

 private:
  platform::Services services_;
};

}  // namespace kx7
