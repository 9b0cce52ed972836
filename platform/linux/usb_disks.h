#pragma once

// The disks the backend offers as drive letters: every USB mass-storage disk
// (and, for tests and diagnostics, block devices named in the configuration).
//
// Letter rule: the disks are ordered by the kernel's disk sequence number
// (diskseq, which grows with every disk the kernel attaches), then by name.
// Without a letter book the first gets 'B', the next 'C', and so on up to
// 'Z': a disk keeps its letter while it and the disks before it stay
// attached. With one, as Windows does, a disk keeps the letter it was given
// for as long as it stays attached, and a disk new to the book takes the
// lowest letter free.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kx7::linux_backend {

struct PartitionInfo {
  unsigned number = 0;
  std::string node;  // e.g. /dev/sdb1
  dev_t devnum = 0;
  // Position and size as sysfs reports them: in 512-byte units.
  std::uint64_t start512 = 0;
  std::uint64_t size512 = 0;
};

struct UsbDisk {
  char letter = 0;
  std::string sysname;    // sdb
  std::string blockNode;  // /dev/sdb
  std::string sgNode;     // /dev/sg2, or "" when the disk has no generic node
  dev_t devnum = 0;
  std::uint64_t diskseq = 0;
  // Its medium can be removed (the kernel's removable attribute, from the
  // SCSI device's INQUIRY): Windows' removable drives. A configured extra
  // disk counts as one.
  bool removable = false;
  std::vector<PartitionInfo> partitions;  // by partition number
  // The USB device the disk belongs to; empty for a configured extra disk.
  std::string usbSyspath;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string serial;
  // The SCSI identity the kernel read from INQUIRY, trailing blanks cut.
  std::string scsiVendor;
  std::string scsiModel;
  std::string scsiRevision;
};

// The letters one backend handed out, by disk (its diskseq and name).
class LetterBook {
 public:
  // Gives the disks (in diskseq order) their letters; forgets the disks
  // that are gone. Disks beyond the 25 letters get none (0).
  void assign(std::vector<UsbDisk>& disks);

 private:
  std::mutex mutex_;
  std::map<std::pair<std::uint64_t, std::string>, char> letters_;
};

// A USB serial as the views show it: trailing blanks cut.
std::string TrimmedSerial(std::string serial);

// The disks in letter order, letters assigned (from `book` when given).
// `extraDisks` are block device names (e.g. "loop3") that take part as if
// they were USB disks.
std::vector<UsbDisk> ListUsbDisks(const std::vector<std::string>& extraDisks,
                                  LetterBook* book = nullptr);

// The disk at a letter (either case); null when there is none.
const UsbDisk* DiskAtLetter(const std::vector<UsbDisk>& disks, char letter);

// The partition that holds the disk's volume: its lowest-numbered partition;
// null for a disk without partitions (its file system, if any, spans it).
const PartitionInfo* VolumePartition(const UsbDisk& disk);

}  // namespace kx7::linux_backend
