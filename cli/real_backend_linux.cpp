// The Linux backend under the tool: player disks by udev, their mounts
// released through udisks2 before an update, the player's files kept over a
// recovery through a mount of its data partition, and a message naming the
// device node and the fix when one cannot be used.
#include "cli/linux/access_message.h"
#include "cli/linux/linux_user_files.h"
#include "cli/linux/mount_release.h"
#include "cli/linux/udev_rules.h"
#include "cli/real_backend.h"
#include "platform/linux/linux_backend.h"
#include "platform/linux/state_directory.h"

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

  std::string DiskInUse(char letter) override {
    const auto mounts = backend_.mountsOfLetter(letter);
    if (mounts.empty()) return "";
    std::string text = "the player's volumes are mounted and will be released first";
    text += HaveUdisksctl() ? " (udisksctl unmount):" : "; without udisks2 that is yours to do:";
    for (const auto& mount : mounts) text += " " + mount.mountPoint;
    return text;
  }

  std::string TakeAccessProblem() override {
    const auto failure = backend_.lastAccessFailure();
    backend_.clearAccessFailure();
    return failure ? AccessFailureMessage(*failure) : "";
  }

  std::optional<std::string> HostPath(std::string_view path) override {
    return backend_.files().resolve(path);
  }

  std::unique_ptr<UserFiles> MakeUserFiles() override {
    return MakeLinuxUserFiles(backend_.config());
  }

  std::string StateFolder() override { return linux_backend::StateDirectory(backend_.config()); }

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

std::string UdevRulesInstallPath() {
  return std::string("lib/udev/rules.d/") + std::string(kUdevRulesFileName);
}

}  // namespace kx7::cli
