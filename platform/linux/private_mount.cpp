#include "platform/linux/private_mount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace kx7::linux_backend {

std::unique_ptr<PrivateMount> PrivateMount::Of(const UsbDisk& disk) {
  if (geteuid() != 0) return nullptr;
  const PartitionInfo* volume = VolumePartition(disk);
  const std::string node = volume ? volume->node : disk.blockNode;
  const dev_t devnum = volume ? volume->devnum : disk.devnum;
  if (node.empty()) return nullptr;
  // Mounted through the open node, which must be the block device udev
  // named: nothing else gets mounted, whatever the path leads to.
  const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct CloseAtEnd {
    int fd;
    ~CloseAtEnd() { ::close(fd); }
  } closeAtEnd{fd};
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode) || info.st_rdev != devnum) return nullptr;
  const std::string source = "/proc/self/fd/" + std::to_string(fd);
  mkdir("/run/kx7fw", 0700);
  std::string pattern = "/run/kx7fw/volume-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) return nullptr;
  std::string where(buffer.data());
  // "flush": what is written goes to the player at once, as the copy's own
  // fsync asks; the player may be reset right after its settings went back.
  if (mount(source.c_str(), where.c_str(), "vfat", MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME,
            "flush") != 0) {
    rmdir(where.c_str());
    return nullptr;
  }
  return std::unique_ptr<PrivateMount>(new PrivateMount(std::move(where)));
}

PrivateMount::~PrivateMount() {
  umount2(where_.c_str(), MNT_DETACH);
  rmdir(where_.c_str());
}

}  // namespace kx7::linux_backend
