#include "platform/linux/linux_backend.h"

#include "platform/linux/state_directory.h"

namespace kx7::linux_backend {

namespace {
std::string AutoplayFile(const LinuxConfig& config) {
  const std::string state = StateDirectory(config);
  return state.empty() ? std::string() : state + "/autoplay";
}
}  // namespace

LinuxBackend::LinuxBackend(LinuxConfig config)
    : config_(std::move(config)),
      autoplay_(AutoplayFile(config_)),
      volumes_(config_, failures_, letters_),
      hid_(failures_),
      registry_(config_, autoplay_, letters_),
      files_(config_, letters_) {}

platform::Services LinuxBackend::services() {
  return platform::Services{volumes_, devices_, hid_,  registry_, host_,
                            host_,    files_,   host_, host_};
}

std::size_t LinuxBackend::openHandleCount() const {
  return volumes_.openHandleCount() + hid_.openHandleCount() + registry_.openKeyCount();
}

}  // namespace kx7::linux_backend
