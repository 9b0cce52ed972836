#include "cli/linux/access_message.h"

#include <cerrno>
#include <cstring>

#include "cli/linux/udev_rules.h"

namespace kx7::cli {

using linux_backend::NodeOperation;

std::string AccessFailureMessage(const linux_backend::AccessFailure& failure) {
  const std::string node = failure.node;
  const std::string reason = std::strerror(failure.error);
  switch (failure.error) {
    case EACCES:
    case EPERM:
      if (failure.operation == NodeOperation::BlockNodeCommand)
        return "the kernel refused the player's commands on " + node + " (" + reason +
               "): it passes them only through the player's SCSI generic node, and there is "
               "none because the sg module is not loaded. Load it (sudo modprobe sg; kx7fw's "
               "udev rules load it when the player is plugged in) and try again.";
      if (failure.operation == NodeOperation::Reread)
        return "the kernel would not re-read the partition table of " + node + " (" + reason +
               "): rewriting the player's partition table needs root; run the recovery with "
               "sudo.";
      return "no access to " + node + " (" + reason +
             "). The player's device nodes belong to root until kx7fw's udev rules are "
             "installed:\n" +
             std::string(UdevRulesInstallHint()) + " (or run kx7fw as root).";
    case EBUSY:
      return node + " is in use (" + reason +
             "): a partition of the player is mounted or held by another program. Unmount it "
             "(udisksctl unmount -b " +
             node + ", or umount) and try again.";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      if (failure.operation == NodeOperation::Reread)
        return "the partitions written to " + node + " did not appear (" + reason + ").";
      return "the player went away from " + node + " (" + reason +
             "). Check the cable and plug it in again.";
    case ETIMEDOUT:
      return "the partitions written to " + node + " were not set up in time by udev (" + reason +
             ").";
    default:
      return "cannot use " + node + ": " + reason + ".";
  }
}

}  // namespace kx7::cli
