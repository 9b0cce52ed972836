#include <cstdio>

#include "sim/backend/backends.h"
#include "sim/world.h"

namespace kx7::sim {

void SimHostServices::changeNotify(std::uint32_t events, std::uint32_t flags,
                                   std::string_view path) {
  const auto guard = world_.lock();
  world_.transcript_.add(Event{.kind = EventKind::Notify,
                               .time = world_.clock_.now(),
                               .target = std::string(path),
                               .length = flags,
                               .value = events});
}

platform::HResult SimHostServices::registerRunningObject(const platform::Guid&,
                                                         platform::ComUnknown& object,
                                                         std::uint32_t, std::uint32_t& cookie) {
  const auto guard = world_.lock();
  // The table holds a reference of its own until the object is revoked.
  object.AddRef();
  cookie = world_.nextCookie_++;
  world_.runningObjects_[cookie] = &object;
  world_.transcript_.add(
      Event{.kind = EventKind::RotRegister, .time = world_.clock_.now(), .value = cookie});
  return platform::kSOk;
}

platform::HResult SimHostServices::revokeRunningObject(std::uint32_t cookie) {
  const auto guard = world_.lock();
  const auto it = world_.runningObjects_.find(cookie);
  const bool found = it != world_.runningObjects_.end();
  world_.transcript_.add(Event{
      .kind = EventKind::RotRevoke, .time = world_.clock_.now(), .value = cookie, .ok = found});
  if (!found) return static_cast<platform::HResult>(0x800401E3);  // MK_E_UNAVAILABLE
  platform::ComUnknown* object = it->second;
  world_.runningObjects_.erase(it);
  object->Release();
  return platform::kSOk;
}

std::string SimHostServices::classIdText(const platform::Guid& id) {
  const auto guard = world_.lock();
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.data1,
                id.data2, id.data3, id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4],
                id.data4[5], id.data4[6], id.data4[7]);
  return text;
}

std::string SimHostServices::toAnsi(const char16_t* text) {
  const auto guard = world_.lock();
  // The simulated code page is plain ASCII; anything else becomes '?', as
  // WideCharToMultiByte's default character.
  std::string out;
  for (; text && *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

platform::OsVersion SimHostServices::osVersion() {
  const auto guard = world_.lock();
  return world_.osVersion_;
}

void SimHostServices::sleep(std::uint32_t milliseconds) {
  world_.sleep(milliseconds);
}

}  // namespace kx7::sim
