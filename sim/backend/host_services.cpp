#include <cstdio>

#include "sim/backend/backends.h"

namespace kx7::sim {

void SimHostServices::changeNotify(std::uint32_t events, std::uint32_t flags,
                                   std::string_view path) {
  const auto guard = world_.lock();
  world_.record(Event{
      .kind = EventKind::Notify, .target = std::string(path), .length = flags, .value = events});
}

platform::HResult SimHostServices::registerRunningObject(const platform::Guid&,
                                                         platform::ComUnknown& object,
                                                         std::uint32_t, std::uint32_t& cookie) {
  const auto guard = world_.lock();
  // The table holds a reference of its own until the object is revoked.
  object.AddRef();
  cookie = nextCookie_++;
  runningObjects_[cookie] = &object;
  world_.record(Event{.kind = EventKind::RotRegister, .value = cookie});
  return platform::kSOk;
}

platform::HResult SimHostServices::revokeRunningObject(std::uint32_t cookie) {
  const auto guard = world_.lock();
  const auto it = runningObjects_.find(cookie);
  const bool found = it != runningObjects_.end();
  world_.record(Event{.kind = EventKind::RotRevoke, .value = cookie, .ok = found});
  if (!found) return static_cast<platform::HResult>(0x800401E3);  // MK_E_UNAVAILABLE
  platform::ComUnknown* object = it->second;
  runningObjects_.erase(it);
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
  return world_.osVersion();
}

void SimHostServices::sleep(std::uint32_t milliseconds) {
  world_.sleep(milliseconds);
}

std::vector<std::uint32_t> SimHostServices::runningCookies() const {
  const auto guard = world_.lock();
  std::vector<std::uint32_t> cookies;
  for (const auto& [cookie, object] : runningObjects_) cookies.push_back(cookie);
  return cookies;
}

platform::ComUnknown* SimHostServices::runningObject(std::uint32_t cookie) const {
  const auto guard = world_.lock();
  const auto it = runningObjects_.find(cookie);
  return it == runningObjects_.end() ? nullptr : it->second;
}

}  // namespace kx7::sim
