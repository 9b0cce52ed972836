#pragma once

// The small services on Linux. The shell notifications and the AutoPlay
// cancel handler have nothing to talk to: notifications go nowhere, and the
// running-object table only keeps what is registered alive until it is
// revoked. The system reports itself as Windows 7 (6.1), the version whose
// procedures the rest of this backend answers for. Waits are real.

#include <map>
#include <mutex>

#include "platform/com.h"
#include "platform/shell.h"
#include "platform/system.h"

namespace kx7::linux_backend {

class LinuxHost final : public platform::Shell,
                        public platform::ComServices,
                        public platform::SystemInfo,
                        public platform::Clock {
 public:
  LinuxHost() = default;
  ~LinuxHost() override;
  LinuxHost(const LinuxHost&) = delete;
  LinuxHost& operator=(const LinuxHost&) = delete;

  void changeNotify(std::uint32_t events, std::uint32_t flags, std::string_view path) override;
  platform::HResult registerRunningObject(const platform::Guid& classId,
                                          platform::ComUnknown& object, std::uint32_t flags,
                                          std::uint32_t& cookie) override;
  platform::HResult revokeRunningObject(std::uint32_t cookie) override;
  std::string classIdText(const platform::Guid& classId) override;
  std::string toAnsi(const char16_t* text) override;
  platform::OsVersion osVersion() override;
  void sleep(std::uint32_t milliseconds) override;

  std::size_t runningObjectCount() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::uint32_t, platform::ComUnknown*> running_;
  std::uint32_t nextCookie_ = 1;
};

}  // namespace kx7::linux_backend
