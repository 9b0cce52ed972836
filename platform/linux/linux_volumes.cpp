#include "platform/linux/linux_volumes.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/linux/sg_pass_through.h"
#include "platform/linux/udev_device.h"
#include "util/ascii.h"

namespace kx7::linux_backend {

namespace {

constexpr std::string_view kVolumePrefix = "\\\\.\\";
constexpr std::string_view kPhysicalDrivePrefix = "\\\\.\\PhysicalDrive";
constexpr auto kSettlePoll = std::chrono::milliseconds(20);

char RootLetter(std::string_view rootPath) {
  if (rootPath.size() < 2 || rootPath[1] != ':') return 0;
  const char letter = rootPath[0];
  if (letter >= 'a' && letter <= 'z') return static_cast<char>(letter - 'a' + 'A');
  return letter >= 'A' && letter <= 'Z' ? letter : 0;
}

// Full transfers: a short read or write at the end of the device fails.
bool ReadFully(int fd, std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n =
        pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // the device ends before the span does
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFully(int fd, std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The name Windows gives the file system of a volume, from its boot sector.
std::string FileSystemNameOf(const std::string& node) {
  const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::array<std::uint8_t, 512> boot{};
  const bool read = ReadFully(fd, 0, boot);
  ::close(fd);
  if (!read || boot[510] != 0x55 || boot[511] != 0xAA) return "";
  const auto at = [&](std::size_t offset, std::string_view text) {
    return std::memcmp(&boot[offset], text.data(), text.size()) == 0;
  };
  if (at(3, "NTFS    ")) return "NTFS";
  if (at(3, "EXFAT   ")) return "exFAT";
  if (at(82, "FAT32   ")) return "FAT32";
  if (at(54, "FAT16   ") || at(54, "FAT12   ")) return "FAT";
  return "";
}

// Whether the disk's first sector is a partition table that lists no
// partition.
bool PartitionTableWithoutVolume(int diskFd) {
  int sectorSize = 0;
  if (ioctl(diskFd, BLKSSZGET, &sectorSize) != 0 || sectorSize < static_cast<int>(kMbrLength))
    return false;
  std::array<std::uint8_t, kMbrLength> mbr{};
  const auto bytesPerSector = static_cast<std::uint32_t>(sectorSize);
  return ReadFully(diskFd, 0, mbr) && HoldsPartitionTable(mbr, bytesPerSector) &&
         PartitionsInTable(mbr, bytesPerSector).empty();
}

bool UdevRunning() {
  return access("/run/udev/control", F_OK) == 0;
}

}  // namespace

struct LinuxVolumes::OpenDisk {
  std::string sysname;
  std::string diskNode;
  std::string sgNode;  // the block node when the disk has no generic node
  std::string ioNode;
  int sgFd = -1;
  int diskFd = -1;
  int ioFd = -1;  // the volume's partition, or diskFd
  int lockFd = -1;
  UsbDisk disk;  // as it was when opened

  ~OpenDisk() {
    CloseFd(lockFd);
    if (ioFd != diskFd) CloseFd(ioFd);
    CloseFd(sgFd);
    CloseFd(diskFd);
  }
};

LinuxVolumes::LinuxVolumes(const LinuxConfig& config, AccessFailureLog& failures)
    : config_(config), failures_(failures) {}

LinuxVolumes::~LinuxVolumes() = default;

std::uint32_t LinuxVolumes::logicalDriveMask() {
  std::uint32_t mask = 0;
  for (const UsbDisk& disk : ListUsbDisks(config_.extraDisks)) mask |= 1u << (disk.letter - 'A');
  return mask;
}

platform::DriveType LinuxVolumes::driveType(std::string_view rootPath) {
  // Every USB mass-storage disk counts as removable, as the player does.
  const auto disks = ListUsbDisks(config_.extraDisks);
  return DiskAtLetter(disks, RootLetter(rootPath)) ? platform::DriveType::Removable
                                                   : platform::DriveType::NoRootDir;
}

std::string LinuxVolumes::fileSystemName(std::string_view rootPath) {
  const auto disks = ListUsbDisks(config_.extraDisks);
  const UsbDisk* disk = DiskAtLetter(disks, RootLetter(rootPath));
  if (!disk) return "";
  const PartitionInfo* volume = VolumePartition(*disk);
  return FileSystemNameOf(volume ? volume->node : disk->blockNode);
}

platform::Handle LinuxVolumes::openDevice(std::string_view path) {
  const auto disks = ListUsbDisks(config_.extraDisks);
  const UsbDisk* disk = nullptr;
  bool physical = false;
  if (path.size() == 6 && path.substr(0, 4) == kVolumePrefix && path[5] == ':') {
    disk = DiskAtLetter(disks, path[4]);
  } else if (path.size() > kPhysicalDrivePrefix.size() &&
             EqualsIgnoreCase(path.substr(0, kPhysicalDrivePrefix.size()), kPhysicalDrivePrefix)) {
    const std::string number(path.substr(kPhysicalDrivePrefix.size()));
    const auto index = NumberOf(number, 10, ~0ull);
    if (number.find_first_not_of("0123456789") == std::string::npos && index < disks.size()) {
      disk = &disks[index];
      physical = true;
    }
  }
  if (!disk) return platform::Handle::invalid();

  auto open = std::make_shared<OpenDisk>();
  open->disk = *disk;
  open->sysname = disk->sysname;
  open->diskNode = disk->blockNode;
  // Without a generic node, SG_IO goes to the block node; the kernel then
  // passes only the commands it deems safe for a user.
  open->sgNode = disk->sgNode.empty() ? disk->blockNode : disk->sgNode;

  const auto openNode = [&](const std::string& node, int& fd) {
    fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) failures_.record(node, errno, NodeOperation::Open);
    return fd >= 0;
  };
  if (!openNode(open->diskNode, open->diskFd)) return platform::Handle::invalid();
  if (!openNode(open->sgNode, open->sgFd)) return platform::Handle::invalid();
  // The volume: the first partition, or the whole disk when it has no
  // partition table. A table without a partition leaves no volume: the
  // handle still carries commands, but positioned I/O on it fails, as it
  // would on Windows, rather than reach the whole disk.
  const PartitionInfo* volume = physical ? nullptr : VolumePartition(*disk);
  if (volume)
    open->ioNode = volume->node;
  else if (physical || !PartitionTableWithoutVolume(open->diskFd))
    open->ioNode = disk->blockNode;
  if (open->ioNode == open->diskNode)
    open->ioFd = open->diskFd;
  else if (!open->ioNode.empty() && !openNode(open->ioNode, open->ioFd))
    return platform::Handle::invalid();

  std::lock_guard lock(mutex_);
  const std::uintptr_t value = next_;
  next_ += 4;
  open_.emplace(value, std::move(open));
  return platform::Handle::fromValue(value);
}

void LinuxVolumes::closeHandle(platform::Handle handle) {
  std::shared_ptr<OpenDisk> open;
  {
    std::lock_guard lock(mutex_);
    const auto it = open_.find(handle.value());
    if (it == open_.end()) return;
    open = std::move(it->second);
    open_.erase(it);
  }
  if (open->diskFd >= 0 && open->ioFd >= 0) {
    // Whatever was written reaches the device before the handle goes.
    fsync(open->ioFd);
  }
}

std::shared_ptr<LinuxVolumes::OpenDisk> LinuxVolumes::find(platform::Handle handle) const {
  std::lock_guard lock(mutex_);
  const auto it = open_.find(handle.value());
  return it == open_.end() ? nullptr : it->second;
}

std::size_t LinuxVolumes::openHandleCount() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

bool LinuxVolumes::scsiPassThrough(platform::Handle handle, std::span<std::uint8_t> request) {
  const auto open = find(handle);
  if (!open) return false;
  int error = 0;
  if (SendPassThrough(open->sgFd, request, error)) return true;
  if (error != EINVAL) failures_.record(open->sgNode, error, NodeOperation::Command);
  return false;
}

std::optional<UsbDisk> LinuxVolumes::currentDisk(const OpenDisk& open) const {
  for (UsbDisk& disk : ListUsbDisks(config_.extraDisks))
    if (disk.sysname == open.sysname && disk.devnum == open.disk.devnum) return std::move(disk);
  return std::nullopt;
}

bool LinuxVolumes::refuseWhileMounted(const OpenDisk& open) {
  const UsbDisk disk = currentDisk(open).value_or(open.disk);
  const auto mounted = MountsOfDisk(disk, ReadMountInfo(config_.mountInfoPath));
  if (mounted.empty()) return false;
  failures_.record(mounted.front().node, EBUSY, NodeOperation::Lock);
  return true;
}

bool LinuxVolumes::lockVolume(platform::Handle handle) {
  const auto open = find(handle);
  if (!open) return false;
  if (open->lockFd >= 0) return true;
  if (refuseWhileMounted(*open)) return false;
  // Fails with EBUSY while any partition is mounted or held exclusively.
  open->lockFd = ::open(open->diskNode.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
  if (open->lockFd < 0) failures_.record(open->diskNode, errno, NodeOperation::Lock);
  return open->lockFd >= 0;
}

bool LinuxVolumes::unlockVolume(platform::Handle handle) {
  const auto open = find(handle);
  if (!open || open->lockFd < 0) return false;
  CloseFd(open->lockFd);
  return true;
}

bool LinuxVolumes::dismountVolume(platform::Handle handle) {
  const auto open = find(handle);
  if (!open || open->ioFd < 0 || refuseWhileMounted(*open)) return false;
  // Nothing of ours is mounted on it; what was written goes to the device.
  return fsync(open->ioFd) == 0 || errno == EINVAL;
}

bool LinuxVolumes::driveGeometry(platform::Handle handle, platform::DiskGeometry& geometry) {
  const auto open = find(handle);
  if (!open) return false;
  std::uint64_t size = 0;
  int sectorSize = 0;
  if (ioctl(open->diskFd, BLKGETSIZE64, &size) != 0 ||
      ioctl(open->diskFd, BLKSSZGET, &sectorSize) != 0 || sectorSize <= 0)
    return false;
  geometry = RemovableDiskGeometry(size, static_cast<std::uint32_t>(sectorSize));
  return true;
}

bool LinuxVolumes::rewriteTable(
    OpenDisk& open,
    const std::function<bool(std::span<std::uint8_t>, std::uint32_t, std::uint64_t)>& edit) {
  std::uint64_t size = 0;
  int sectorSize = 0;
  if (ioctl(open.diskFd, BLKGETSIZE64, &size) != 0 ||
      ioctl(open.diskFd, BLKSSZGET, &sectorSize) != 0 || sectorSize < static_cast<int>(kMbrLength))
    return false;
  const auto bytesPerSector = static_cast<std::uint32_t>(sectorSize);
  std::vector<std::uint8_t> sector0(bytesPerSector);
  if (!ReadFully(open.diskFd, 0, sector0)) return false;
  if (!edit(std::span(sector0).first(kMbrLength), bytesPerSector, size / bytesPerSector))
    return false;
  if (!WriteFully(open.diskFd, 0, sector0) || fsync(open.diskFd) != 0) return false;

  // The kernel re-reads the table; with the disk locked, through the lock's
  // own exclusive open, which is the only one allowed to.
  const int rereadFd = open.lockFd >= 0 ? open.lockFd : open.diskFd;
  if (ioctl(rereadFd, BLKRRPART) != 0) {
    failures_.record(open.diskNode, errno, NodeOperation::Reread);
    return false;
  }
  return waitForPartitions(open, PartitionsInTable(sector0, bytesPerSector));
}

bool LinuxVolumes::waitForPartitions(const OpenDisk& open,
                                     const std::vector<MbrPartition>& expected) {
  // The kernel makes the partitions while it re-reads the table; udev then
  // sets up their nodes (owner, access, links) on its own time.
  const bool udev = UdevRunning();
  const auto deadline = std::chrono::steady_clock::now() + config_.partitionSettleTimeout;
  for (bool kernelChecked = false;; kernelChecked = true) {
    const Udev context = NewUdev();
    bool allReady = true;
    for (const MbrPartition& wanted : expected) {
      bool known = false;
      bool ready = false;
      for (const UdevDevice& part : DevicesOf(context.get(), "block", "partition")) {
        udev_device* disk =
            udev_device_get_parent_with_subsystem_devtype(part.get(), "block", "disk");
        if (!disk || open.sysname != udev_device_get_sysname(disk)) continue;
        if (NumberOf(Attribute(part.get(), "partition"), 10, 0) != wanted.number ||
            NumberOf(Attribute(part.get(), "start"), 10, 0) * 512 != wanted.startBytes ||
            NumberOf(Attribute(part.get(), "size"), 10, 0) * 512 != wanted.lengthBytes)
          continue;
        known = true;
        const std::string node = Devnode(part.get());
        ready = !node.empty() && access(node.c_str(), F_OK) == 0 &&
                (!udev || udev_device_get_is_initialized(part.get()) > 0);
      }
      // A partition the kernel did not make after the re-read will not come.
      if (!known && !kernelChecked) {
        failures_.record(open.diskNode, ENXIO, NodeOperation::Reread);
        return false;
      }
      allReady = allReady && known && ready;
    }
    if (allReady) return true;
    if (std::chrono::steady_clock::now() >= deadline) {
      failures_.record(open.diskNode, ETIMEDOUT, NodeOperation::Reread);
      return false;
    }
    std::this_thread::sleep_for(kSettlePoll);
  }
}

bool LinuxVolumes::deleteDriveLayout(platform::Handle handle) {
  const auto open = find(handle);
  return open && rewriteTable(*open, [](std::span<std::uint8_t> mbr, std::uint32_t, std::uint64_t) {
           ClearDriveLayout(mbr);
           return true;
         });
}

bool LinuxVolumes::setDriveLayout(platform::Handle handle, std::span<const std::uint8_t> layout) {
  const auto open = find(handle);
  return open && layout.size() == kDriveLayoutLength &&
         rewriteTable(*open, [&](std::span<std::uint8_t> mbr, std::uint32_t sectorSize,
                                 std::uint64_t sectors) {
           return ApplyDriveLayout(layout, sectorSize, sectors, mbr);
         });
}

bool LinuxVolumes::readAt(platform::Handle handle, std::uint64_t offset,
                          std::span<std::uint8_t> out) {
  const auto open = find(handle);
  if (!open || open->ioFd < 0) return false;
  if (ReadFully(open->ioFd, offset, out)) return true;
  failures_.record(open->ioNode, errno, NodeOperation::Command);
  return false;
}

bool LinuxVolumes::writeAt(platform::Handle handle, std::uint64_t offset,
                           std::span<const std::uint8_t> data) {
  const auto open = find(handle);
  if (!open || open->ioFd < 0) return false;
  if (WriteFully(open->ioFd, offset, data)) return true;
  failures_.record(open->ioNode, errno, NodeOperation::Command);
  return false;
}

std::vector<MountedVolume> LinuxVolumes::mountsOfLetter(char letter) {
  const auto disks = ListUsbDisks(config_.extraDisks);
  const UsbDisk* disk = DiskAtLetter(disks, letter);
  if (!disk) return {};
  return MountsOfDisk(*disk, ReadMountInfo(config_.mountInfoPath));
}

}  // namespace kx7::linux_backend
