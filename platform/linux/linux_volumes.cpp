#include "platform/linux/linux_volumes.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/linux/block_file.h"
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

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The name Windows gives the file system of a volume, from its boot sector.
std::string FileSystemNameOf(const std::string& node) {
  const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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

// Asks the SCSI layer to read the disk's capacity (and all else) again.
bool RescanDisk(const std::string& sysname) {
  std::ofstream rescan("/sys/class/block/" + sysname + "/device/rescan");
  rescan << "1";
  rescan.flush();
  return static_cast<bool>(rescan);
}

std::uint64_t KernelSize(int fd) {
  std::uint64_t size = 0;
  return ioctl(fd, BLKGETSIZE64, &size) == 0 ? size : 0;
}

}  // namespace

struct LinuxVolumes::OpenDisk {
  std::string sysname;
  std::string diskNode;
  std::string sgNode;  // the block node when the disk has no generic node
  bool physical = false;
  int sgFd = -1;
  BlockFile block;  // the whole disk, opened when first needed
  int lockFd = -1;
  bool claimed = false;
  // The volume's bytes on the disk, once known.
  bool volumeResolved = false;
  bool hasVolume = false;
  std::uint64_t volumeStart = 0;
  std::uint64_t volumeLength = 0;
  UsbDisk disk;  // as it was when opened

  void closeAll() {
    CloseFd(lockFd);
    CloseFd(sgFd);
    block.close();
  }
  ~OpenDisk() { closeAll(); }
};

LinuxVolumes::LinuxVolumes(const LinuxConfig& config, AccessFailureLog& failures,
                           LetterBook& letters)
    : config_(config), failures_(failures), letters_(letters), claims_(config.diskClaimLinger) {}

LinuxVolumes::~LinuxVolumes() = default;

std::uint32_t LinuxVolumes::logicalDriveMask() {
  std::uint32_t mask = 0;
  for (const UsbDisk& disk : ListUsbDisks(config_.extraDisks, &letters_))
    mask |= 1u << (disk.letter - 'A');
  return mask;
}

platform::DriveType LinuxVolumes::driveType(std::string_view rootPath) {
  // Removable as Windows has it: a disk whose medium can be removed, as the
  // player's is; a USB hard disk or SSD bridge is a fixed drive.
  const auto disks = ListUsbDisks(config_.extraDisks, &letters_);
  const UsbDisk* disk = DiskAtLetter(disks, RootLetter(rootPath));
  if (!disk) return platform::DriveType::NoRootDir;
  return disk->removable ? platform::DriveType::Removable : platform::DriveType::Fixed;
}

std::string LinuxVolumes::fileSystemName(std::string_view rootPath) {
  const auto disks = ListUsbDisks(config_.extraDisks, &letters_);
  const UsbDisk* disk = DiskAtLetter(disks, RootLetter(rootPath));
  if (!disk) return "";
  const PartitionInfo* volume = VolumePartition(*disk);
  return FileSystemNameOf(volume ? volume->node : disk->blockNode);
}

platform::Handle LinuxVolumes::openDevice(std::string_view path) {
  claims_.releaseIdle();
  const auto disks = ListUsbDisks(config_.extraDisks, &letters_);
  dropVanished(disks);
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
  open->physical = physical;
  // Without a generic node, SG_IO goes to the block node; the kernel then
  // passes only the commands it deems safe for a user. Read-only either way
  // for the block node: a read-write one would make udevd re-read the
  // disk's table when it closes. Non-blocking: a removable disk without a
  // medium opens all the same.
  open->sgNode = disk->sgNode.empty() ? disk->blockNode : disk->sgNode;
  const int sgMode = disk->sgNode.empty() ? O_RDONLY : O_RDWR;
  open->sgFd = ::open(open->sgNode.c_str(), sgMode | O_NONBLOCK | O_CLOEXEC);
  if (open->sgFd < 0) {
    failures_.record(open->sgNode, errno, NodeOperation::Open);
    return platform::Handle::invalid();
  }

  std::lock_guard lock(mutex_);
  const std::uintptr_t value = next_;
  next_ += 4;
  open_.emplace(value, std::move(open));
  return platform::Handle::fromValue(value);
}

void LinuxVolumes::dropVanished(const std::vector<UsbDisk>& present) {
  std::lock_guard lock(mutex_);
  for (auto& [value, open] : open_) {
    const bool there = std::any_of(present.begin(), present.end(), [&](const UsbDisk& disk) {
      return disk.sysname == open->sysname && disk.devnum == open->disk.devnum;
    });
    if (there) continue;
    // The handle stays until it is closed, but holds nothing of the dead
    // disk: the kernel can let it go.
    if (open->claimed) claims_.release(open->disk.devnum);
    open->claimed = false;
    open->closeAll();
  }
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
  if (open->claimed) claims_.release(open->disk.devnum);
  open->closeAll();
  claims_.releaseIdle();
}

bool LinuxVolumes::openBlock(OpenDisk& open, bool writable) {
  if (open.block.isOpen() && (open.block.writable() || !writable)) return true;
  if (open.sgFd < 0) {
    failures_.record(open.diskNode, ENODEV, NodeOperation::Open);
    return false;
  }
  if (open.block.open(open.diskNode, writable)) return true;
  failures_.record(open.diskNode, errno, NodeOperation::Open);
  return false;
}

bool LinuxVolumes::resolveVolume(OpenDisk& open) {
  if (open.volumeResolved) return open.hasVolume;
  if (!openBlock(open, false)) return false;
  const std::uint64_t size = KernelSize(open.block.fd());
  int sectorSize = 0;
  if (ioctl(open.block.fd(), BLKSSZGET, &sectorSize) != 0 || sectorSize <= 0) sectorSize = 512;
  const auto bytesPerSector = static_cast<std::uint32_t>(sectorSize);
  open.volumeStart = 0;
  open.volumeLength = size;
  open.hasVolume = true;
  // The volume of "X:" is the first partition the table on the device
  // lists, read from the device now rather than from the kernel's partition
  // nodes, which a re-read of the table takes away for a while. A table that
  // lists none leaves no volume: positioned I/O fails, as on Windows, rather
  // than reach the whole disk.
  if (!open.physical && bytesPerSector >= kMbrLength) {
    std::vector<std::uint8_t> sector0(bytesPerSector);
    // A table that cannot be read is no reason to take the whole disk: the
    // volume stays unknown, and the next transfer tries again.
    if (!open.block.read(0, sector0)) {
      failures_.record(open.diskNode, errno, NodeOperation::Command);
      return false;
    }
    if (HoldsPartitionTable(sector0, bytesPerSector)) {
      const auto partitions = PartitionsInTable(sector0, bytesPerSector);
      const auto first = std::find_if(partitions.begin(), partitions.end(),
                                      [](const MbrPartition& p) { return p.lengthBytes > 0; });
      open.hasVolume = first != partitions.end();
      if (open.hasVolume) {
        open.volumeStart = first->startBytes;
        open.volumeLength = first->lengthBytes;
      }
    }
  }
  open.volumeResolved = true;
  return open.hasVolume;
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
  bool mediumChanged = false;
  const bool sent = SendPassThrough(open->sgFd, request, error, &mediumChanged);
  // What the kernel cached of the old medium is not on the new one.
  if (mediumChanged) {
    open->block.dropCache();
    open->volumeResolved = false;
  }
  if (sent) return true;
  if (error != EINVAL) {
    const bool onBlockNode = open->sgNode == open->diskNode;
    failures_.record(open->sgNode, error,
                     onBlockNode && (error == EPERM || error == EACCES)
                         ? NodeOperation::BlockNodeCommand
                         : NodeOperation::Command);
  }
  return false;
}

std::optional<UsbDisk> LinuxVolumes::currentDisk(const OpenDisk& open) const {
  for (UsbDisk& disk : ListUsbDisks(config_.extraDisks, &letters_))
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
  claims_.releaseIdle();
  if (open->sgFd < 0 || refuseWhileMounted(*open)) return false;
  // Fails with EBUSY while any partition is mounted or held exclusively.
  // Read-only: its close is no write for the udev watch.
  open->lockFd = ::open(open->diskNode.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
  if (open->lockFd < 0) {
    failures_.record(open->diskNode, errno, NodeOperation::Lock);
    return false;
  }
  if (!open->claimed) {
    if (!claims_.take(open->disk.devnum, open->diskNode)) {
      failures_.record(open->diskNode, errno, NodeOperation::Lock);
      CloseFd(open->lockFd);
      return false;
    }
    open->claimed = true;
  }
  return true;
}

bool LinuxVolumes::unlockVolume(platform::Handle handle) {
  const auto open = find(handle);
  if (!open || open->lockFd < 0) return false;
  CloseFd(open->lockFd);
  if (open->claimed) claims_.release(open->disk.devnum);
  open->claimed = false;
  return true;
}

bool LinuxVolumes::dismountVolume(platform::Handle handle) {
  const auto open = find(handle);
  if (!open || open->sgFd < 0 || refuseWhileMounted(*open)) return false;
  // Nothing of ours is mounted on it; what was written went to the device
  // as it was written.
  return !open->block.isOpen() || fsync(open->block.fd()) == 0 || errno == EINVAL;
}

bool LinuxVolumes::driveGeometry(platform::Handle handle, platform::DiskGeometry& geometry) {
  const auto open = find(handle);
  if (!open || !openBlock(*open, false) || !matchKernelCapacity(*open)) return false;
  std::uint64_t size = 0;
  int sectorSize = 0;
  if (ioctl(open->block.fd(), BLKGETSIZE64, &size) != 0 ||
      ioctl(open->block.fd(), BLKSSZGET, &sectorSize) != 0 || sectorSize <= 0)
    return false;
  geometry = RemovableDiskGeometry(size, static_cast<std::uint32_t>(sectorSize));
  return true;
}

bool LinuxVolumes::rewriteTable(
    OpenDisk& open,
    const std::function<bool(std::span<std::uint8_t>, std::uint32_t, std::uint64_t)>& edit) {
  if (!openBlock(open, true) || !matchKernelCapacity(open)) return false;
  const int fd = open.block.fd();
  std::uint64_t size = 0;
  int sectorSize = 0;
  if (ioctl(fd, BLKGETSIZE64, &size) != 0 || ioctl(fd, BLKSSZGET, &sectorSize) != 0 ||
      sectorSize < static_cast<int>(kMbrLength))
    return false;
  const auto bytesPerSector = static_cast<std::uint32_t>(sectorSize);
  std::vector<std::uint8_t> sector0(bytesPerSector);
  if (!open.block.read(0, sector0)) return false;
  if (!edit(std::span(sector0).first(kMbrLength), bytesPerSector, size / bytesPerSector))
    return false;
  if (!open.block.write(0, sector0)) {
    failures_.record(open.diskNode, errno, NodeOperation::Command);
    return false;
  }
  open.volumeResolved = false;

  // The kernel re-reads the table; with the disk locked, through the lock's
  // own exclusive open, which is the only one allowed to.
  const int rereadFd = open.lockFd >= 0 ? open.lockFd : fd;
  if (ioctl(rereadFd, BLKRRPART) != 0) {
    failures_.record(open.diskNode, errno, NodeOperation::Reread);
    return false;
  }
  return waitForPartitions(open, PartitionsInTable(sector0, bytesPerSector));
}

bool LinuxVolumes::waitForPartitions(const OpenDisk& open,
                                     const std::vector<MbrPartition>& expected) {
  // The kernel makes the partitions while it re-reads the table. Their
  // nodes are not waited for: the volume is reached through the whole disk,
  // and udev sets the nodes up once the disk's claim is let go.
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
        ready = true;
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

bool LinuxVolumes::matchKernelCapacity(OpenDisk& open) {
  DeviceCapacity device;
  bool mediumChanged = false;
  // A disk that does not answer READ CAPACITY here (a loop device) has only
  // the kernel's size.
  if (!ReadDeviceCapacity(open.sgFd, device, &mediumChanged)) return true;
  if (mediumChanged) open.block.dropCache();
  const std::uint64_t wanted = device.blocks * device.blockLength;
  if (KernelSize(open.block.fd()) == wanted) return true;
  // The kernel reads the capacity again on a rescan of the SCSI device, or
  // when the table is re-read (BLKRRPART); both need root.
  open.volumeResolved = false;
  if (RescanDisk(open.sysname) && KernelSize(open.block.fd()) == wanted) {
    open.block.dropCache();
    return true;
  }
  const int rereadFd = open.lockFd >= 0 ? open.lockFd : open.block.fd();
  const bool reread = ioctl(rereadFd, BLKRRPART) == 0;
  const int error = reread ? ESTALE : errno;
  open.block.dropCache();
  if (KernelSize(open.block.fd()) == wanted) return true;
  failures_.record(open.diskNode, error, NodeOperation::Reread);
  return false;
}

bool LinuxVolumes::transfer(platform::Handle handle, std::uint64_t offset, bool writing,
                            std::span<std::uint8_t> in, std::span<const std::uint8_t> out) {
  const auto open = find(handle);
  if (!open || !openBlock(*open, writing) || !resolveVolume(*open)) return false;
  const std::uint64_t length = writing ? out.size() : in.size();
  if (offset > open->volumeLength || length > open->volumeLength - offset) {
    // Past the volume's end, as past a Windows volume's.
    errno = writing ? ENOSPC : EIO;
    failures_.record(open->diskNode, errno, NodeOperation::Command);
    return false;
  }
  const std::uint64_t at = open->volumeStart + offset;
  if (writing ? open->block.write(at, out) : open->block.read(at, in)) return true;
  failures_.record(open->diskNode, errno, NodeOperation::Command);
  return false;
}

bool LinuxVolumes::readAt(platform::Handle handle, std::uint64_t offset,
                          std::span<std::uint8_t> out) {
  return transfer(handle, offset, false, out, {});
}

bool LinuxVolumes::writeAt(platform::Handle handle, std::uint64_t offset,
                           std::span<const std::uint8_t> data) {
  return transfer(handle, offset, true, {}, data);
}

std::vector<MountedVolume> LinuxVolumes::mountsOfLetter(char letter) {
  const auto disks = ListUsbDisks(config_.extraDisks, &letters_);
  const UsbDisk* disk = DiskAtLetter(disks, letter);
  if (!disk) return {};
  return MountsOfDisk(*disk, ReadMountInfo(config_.mountInfoPath));
}

}  // namespace kx7::linux_backend
