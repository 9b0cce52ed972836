// The Linux backend under the tool: player disks by udev, their mounts
// released through udisks2 before an update, and a message naming the
// device node and the fix when one cannot be used.
#include "cli/linux/access_message.h"
#include "cli/linux/mount_release.h"
#include "cli/linux/udev_rules.h"
#include "cli/real_backend.h"
#include "platform/linux/linux_backend.h"

namespace kx7::cli {

namespace {

class LinuxRealBackend final : public RealBackend {
 public:
  platform::Services Services() override { return backend_.services(); }
  std::string Description() const override { return "this machine's players (Linux)"; }

  std::string PrepareDisk(char letter) override {
    const auto mounts = backend_.mountsOfLetter(letter);
    const auto still = ReleaseMounts(mounts, HaveUdisksctl(), RunCommand);
    return StillMountedMessage(still);
  }

  std::string TakeAccessProblem() override {
    const auto failure = backend_.lastAccessFailure();
    backend_.clearAccessFailure();
    return failure ? AccessFailureMessage(*failure) : "";
  }

 private:
  linux_backend::LinuxBackend backend_;
};

}  // namespace

std::unique_ptr<RealBackend> OpenRealBackend() {
  return std::make_unique<LinuxRealBackend>();
}

std::string UdevRules() {
  return std::string(UdevRulesText());
}

}  // namespace kx7::cli
