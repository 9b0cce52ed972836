#include "platform/linux/usb_disks.h"

#include <algorithm>
#include <limits>
#include <map>

#include "platform/linux/udev_device.h"

namespace kx7::linux_backend {

namespace {

constexpr std::size_t kLetterCount = 25;  // 'B' to 'Z'

std::string TrimmedRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  return text;
}

bool IsExtra(const std::vector<std::string>& extraDisks, const std::string& sysname) {
  return std::find(extraDisks.begin(), extraDisks.end(), sysname) != extraDisks.end();
}

// Generic nodes by the syspath of the SCSI device they belong to.
std::map<std::string, std::string> GenericNodes(udev* context) {
  std::map<std::string, std::string> nodes;
  for (const UdevDevice& sg : DevicesOf(context, "scsi_generic")) {
    udev_device* scsi =
        udev_device_get_parent_with_subsystem_devtype(sg.get(), "scsi", "scsi_device");
    const std::string node = Devnode(sg.get());
    if (scsi && !node.empty()) nodes.emplace(Syspath(scsi), node);
  }
  return nodes;
}

// Partitions by the syspath of their disk.
std::multimap<std::string, PartitionInfo> Partitions(udev* context) {
  std::multimap<std::string, PartitionInfo> partitions;
  for (const UdevDevice& part : DevicesOf(context, "block", "partition")) {
    udev_device* disk = udev_device_get_parent_with_subsystem_devtype(part.get(), "block", "disk");
    if (!disk) continue;
    PartitionInfo info;
    info.number = static_cast<unsigned>(NumberOf(Attribute(part.get(), "partition"), 10, 0));
    info.node = Devnode(part.get());
    info.devnum = udev_device_get_devnum(part.get());
    info.start512 = NumberOf(Attribute(part.get(), "start"), 10, 0);
    info.size512 = NumberOf(Attribute(part.get(), "size"), 10, 0);
    partitions.emplace(Syspath(disk), std::move(info));
  }
  return partitions;
}

bool LetterOrder(const UsbDisk& a, const UsbDisk& b) {
  if (a.diskseq != b.diskseq) return a.diskseq < b.diskseq;
  if (a.sysname.size() != b.sysname.size()) return a.sysname.size() < b.sysname.size();
  return a.sysname < b.sysname;
}

}  // namespace

void LetterBook::assign(std::vector<UsbDisk>& disks) {
  std::lock_guard lock(mutex_);
  std::map<std::pair<std::uint64_t, std::string>, char> kept;
  std::uint32_t taken = 0;
  for (UsbDisk& disk : disks) {
    const auto it = letters_.find({disk.diskseq, disk.sysname});
    disk.letter = it != letters_.end() ? it->second : 0;
    if (disk.letter) taken |= 1u << (disk.letter - 'B');
  }
  for (UsbDisk& disk : disks) {
    for (std::size_t i = 0; !disk.letter && i < kLetterCount; ++i)
      if (!(taken & (1u << i))) {
        disk.letter = static_cast<char>('B' + i);
        taken |= 1u << i;
      }
    if (disk.letter) kept[{disk.diskseq, disk.sysname}] = disk.letter;
  }
  letters_ = std::move(kept);
}

std::vector<UsbDisk> ListUsbDisks(const std::vector<std::string>& extraDisks, LetterBook* book) {
  std::vector<UsbDisk> disks;
  const Udev context = NewUdev();
  if (!context) return disks;
  const auto genericNodes = GenericNodes(context.get());
  const auto partitions = Partitions(context.get());

  for (const UdevDevice& device : DevicesOf(context.get(), "block", "disk")) {
    udev_device* d = device.get();
    UsbDisk disk;
    disk.sysname = udev_device_get_sysname(d);
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(d, "usb", "usb_device");
    udev_device* scsi = udev_device_get_parent_with_subsystem_devtype(d, "scsi", "scsi_device");
    // Mass storage reaches the SCSI layer through usb-storage or uas.
    const bool usbDisk = usb && scsi;
    if (!usbDisk && !IsExtra(extraDisks, disk.sysname)) continue;

    disk.blockNode = Devnode(d);
    if (disk.blockNode.empty()) continue;
    disk.devnum = udev_device_get_devnum(d);
    disk.diskseq = NumberOf(Attribute(d, "diskseq"), 10, std::numeric_limits<std::uint64_t>::max());
    disk.removable = !usbDisk || NumberOf(Attribute(d, "removable"), 10, 0) == 1;
    if (usbDisk) {
      disk.usbSyspath = Syspath(usb);
      disk.vendorId = static_cast<std::uint16_t>(NumberOf(Attribute(usb, "idVendor"), 16, 0));
      disk.productId = static_cast<std::uint16_t>(NumberOf(Attribute(usb, "idProduct"), 16, 0));
      disk.serial = TrimmedSerial(Attribute(usb, "serial"));
      disk.scsiVendor = TrimmedRight(Attribute(scsi, "vendor"));
      disk.scsiModel = TrimmedRight(Attribute(scsi, "model"));
      disk.scsiRevision = TrimmedRight(Attribute(scsi, "rev"));
      if (const auto sg = genericNodes.find(Syspath(scsi)); sg != genericNodes.end())
        disk.sgNode = sg->second;
    }
    const auto [first, last] = partitions.equal_range(Syspath(d));
    for (auto it = first; it != last; ++it) disk.partitions.push_back(it->second);
    std::sort(disk.partitions.begin(), disk.partitions.end(),
              [](const PartitionInfo& a, const PartitionInfo& b) { return a.number < b.number; });
    disks.push_back(std::move(disk));
  }

  std::sort(disks.begin(), disks.end(), LetterOrder);
  if (book) {
    book->assign(disks);
    std::erase_if(disks, [](const UsbDisk& disk) { return disk.letter == 0; });
    std::sort(disks.begin(), disks.end(),
              [](const UsbDisk& a, const UsbDisk& b) { return a.letter < b.letter; });
    return disks;
  }
  if (disks.size() > kLetterCount) disks.resize(kLetterCount);
  for (std::size_t i = 0; i < disks.size(); ++i) disks[i].letter = static_cast<char>('B' + i);
  return disks;
}

std::string TrimmedSerial(std::string serial) {
  return TrimmedRight(std::move(serial));
}

const UsbDisk* DiskAtLetter(const std::vector<UsbDisk>& disks, char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  for (const UsbDisk& disk : disks)
    if (disk.letter == letter) return &disk;
  return nullptr;
}

const PartitionInfo* VolumePartition(const UsbDisk& disk) {
  for (const PartitionInfo& partition : disk.partitions)
    if (partition.size512 > 0 && !partition.node.empty()) return &partition;
  return nullptr;
}

}  // namespace kx7::linux_backend
