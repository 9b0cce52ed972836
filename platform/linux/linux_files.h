#pragma once

// Files on Linux. The library names files the Windows way; they land here:
//   <H>:\Temp\...  (H: the first character of the module path, '/')
//                  -> the per-user state folder
//   X:\...         (X: the drive letter of a USB disk)
//                  -> under the mount point of the disk's data partition;
//                     while nothing has mounted it, a mount of the backend's
//                     own for the one operation (root only), else nothing
//   anything else  -> a path of the host's own file system, as it is
// The module path is the file of the library itself.

#include <memory>

#include "platform/files.h"
#include "platform/linux/linux_config.h"
#include "platform/linux/private_mount.h"
#include "platform/linux/usb_disks.h"

namespace kx7::linux_backend {

class LinuxFiles final : public platform::FileSystem {
 public:
  LinuxFiles(const LinuxConfig& config, LetterBook& letters) : config_(config), letters_(letters) {}

  std::string modulePath() override;
  bool createDirectory(std::string_view path) override;
  bool copyFileNoOverwrite(std::string_view from, std::string_view to) override;
  bool pathExists(std::string_view path) override;
  std::unique_ptr<platform::InputFile> openForReading(std::string_view path,
                                                      platform::OpenMode mode) override;

  // Where a path the library names lands; nothing for a drive that is not
  // there or not mounted. With `mount`, a drive nothing has mounted is
  // mounted privately for as long as `*mount` lives.
  std::optional<std::string> resolve(std::string_view path,
                                     std::unique_ptr<PrivateMount>* mount = nullptr);

 private:
  const LinuxConfig& config_;
  LetterBook& letters_;
};

}  // namespace kx7::linux_backend
