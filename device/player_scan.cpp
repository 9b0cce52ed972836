#include "device/player_scan.h"

#include "device/device_session.h"

namespace kx7 {

char ForEachPresentLetter(const platform::Services& services,
                          const std::function<bool(char letter)>& visit) {
  const std::uint32_t mask = services.volumes.logicalDriveMask();
  for (char letter = 'B'; letter <= 'Z'; ++letter) {
    if ((mask >> (letter - 'A')) & 1u) {
      if (visit(letter)) return letter;
    }
  }
  return 0;
}

int CountPlayers(const platform::Services& services) {
  int count = 0;
  DeviceSession session(services);
  ForEachPresentLetter(services, [&](char letter) {
    if (session.OpenByDriveLetter(letter) && session.Kind == DeviceKindPlayer) ++count;
    session.Close();
    return false;
  });
  return count;
}

}  // namespace kx7
