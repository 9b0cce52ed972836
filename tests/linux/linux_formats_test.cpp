// The byte layouts the Linux backend translates: the library's pass-through
// request into SG_IO, its drive layout into an MBR table, HID report
// descriptors into Windows report lengths, mountinfo lines, and the Windows
// names it makes for Linux devices.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "device/commands.h"
#include "firmware/sdisk.h"
#include "layout_bytes.h"
#include "media/raw_sectors.h"
#include "platform/linux/hid_descriptor.h"
#include "platform/linux/mbr_layout.h"
#include "platform/linux/mount_table.h"
#include "platform/linux/sg_pass_through.h"
#include "platform/linux/windows_names.h"
#include "util/byte_order.h"

namespace kx7::linux_backend {
namespace {

using test::SinglePartitionLayout;

std::vector<std::uint8_t> Built(CStDdiCmdBase& command) {
  EXPECT_TRUE(command.BuildRequest());
  const auto bytes = command.RequestBytes();
  return {bytes.begin(), bytes.end()};
}

TEST(SgPassThroughTest, RequestsBecomeSgIoHeadersPointingIntoTheBlock) {
  CStScsiInquiry inquiry;
  std::vector<std::uint8_t> in = Built(inquiry);
  CStChipReset reset;
  std::vector<std::uint8_t> none = Built(reset);
  CStWriteLogicalDriveSector write(2, 0, 4, 8192, 120);  // drive 2: 4 sectors of 2048
  std::vector<std::uint8_t> out = Built(write);

  struct Case {
    std::vector<std::uint8_t>* request;
    int direction;
    unsigned cdbLength, length;
  };
  for (const Case& c : {Case{&in, SG_DXFER_FROM_DEV, 6, 96}, Case{&none, SG_DXFER_NONE, 16, 0},
                        Case{&out, SG_DXFER_TO_DEV, 16, 8192}}) {
    sg_io_hdr_t io;
    ASSERT_TRUE(PrepareSgIo(*c.request, io));
    std::uint8_t* base = c.request->data();
    EXPECT_EQ(io.interface_id, 'S');
    EXPECT_EQ(io.dxfer_direction, c.direction);
    EXPECT_EQ(io.cmd_len, c.cdbLength);
    EXPECT_EQ(io.cmdp, base + 28);
    EXPECT_EQ(io.dxfer_len, c.length);
    EXPECT_EQ(io.dxferp, c.length ? base + 70 : nullptr);  // the data area, unaligned
    EXPECT_EQ(io.sbp, base + 52);
    EXPECT_EQ(io.mx_sb_len, 18);
    EXPECT_EQ(io.timeout, 120000u);  // seconds become milliseconds
  }
}

TEST(SgPassThroughTest, HeadersWindowsWouldRefuseAreNotSent) {
  CStScsiInquiry inquiry;
  const std::vector<std::uint8_t> good = Built(inquiry);
  const auto broken = [&](std::size_t at, std::uint8_t value) {
    std::vector<std::uint8_t> request = good;
    request[at] = value;
    return request;
  };
  for (std::vector<std::uint8_t> request : {
           broken(0, 40),     // header length
           broken(6, 0),      // no CDB
           broken(6, 17),     // CDB too long
           broken(8, 2),      // direction unspecified
           broken(14, 0x01),  // data area past the block
           broken(24, 10),    // sense inside the header
           std::vector<std::uint8_t>(good.begin(), good.begin() + 43),
       }) {
    sg_io_hdr_t io;
    EXPECT_FALSE(PrepareSgIo(request, io));
  }
}

TEST(SgPassThroughTest, OnlyTransportTroubleMeansNotDelivered) {
  struct Case {
    unsigned char host, driver;
    bool delivered;
  };
  for (const Case& c : {Case{0x00, 0x00, true}, Case{0x00, 0x08, true},  // sense with a status
                        Case{0x01, 0x00, false},                         // no connection
                        Case{0x03, 0x00, false},                         // timed out
                        Case{0x00, 0x06, false},                         // driver timeout
                        Case{0x00, 0x0C, false}}) {                      // sense + driver error
    sg_io_hdr_t io{};
    io.host_status = c.host;
    io.driver_status = c.driver;
    io.status = 0x02;  // CHECK CONDITION alone never fails a send
    EXPECT_EQ(ReachedDevice(io), c.delivered) << int(c.host) << " " << int(c.driver);
  }
}

TEST(MbrLayoutTest, TheLibrarysLayoutBecomesThisTable) {
  // 1 GiB of 512-byte sectors: 130 whole cylinders of 255 x 63.
  std::array<std::uint8_t, 512> mbr{};
  mbr[0] = 0xFA;             // boot code stays
  mbr[446 + 16 + 4] = 0x0B;  // an old second partition goes
  const auto layout = SinglePartitionLayout(63, 130, 512);
  ASSERT_TRUE(ApplyDriveLayout(layout, 512, 2097152, mbr));

  const std::uint8_t expected[] = {
      0x00, 0x01, 0x01, 0x00,  // not bootable; CHS 0/1/1
      0x06, 0xFE, 0x3F, 0x81,  // FAT16; CHS 129/254/63
      0x3F, 0x00, 0x00, 0x00,  // LBA 63
      0xC3, 0xDD, 0x1F, 0x00,  // 130 x 16065 - 63 sectors
  };
  EXPECT_EQ(0, std::memcmp(&mbr[446], expected, sizeof expected));
  EXPECT_TRUE(std::all_of(&mbr[462], &mbr[510], [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);
  EXPECT_EQ(mbr[0], 0xFA);
  EXPECT_EQ(PartitionsInTable(mbr, 512),
            (std::vector<MbrPartition>{{1, 63 * 512, (130ull * 16065 - 63) * 512}}));

  ClearDriveLayout(mbr);
  EXPECT_TRUE(PartitionsInTable(mbr, 512).empty());
  EXPECT_EQ(mbr[0], 0xFA);
}

TEST(MbrLayoutTest, EntriesTheTableCannotHoldLeaveItUntouched) {
  std::array<std::uint8_t, 512> mbr{};
  mbr[446 + 4] = 0x0C;
  const auto before = mbr;
  // Past the end of a disk too small for 130 cylinders.
  EXPECT_FALSE(ApplyDriveLayout(SinglePartitionLayout(63, 130, 512), 512, 1000000, mbr));
  // Not on a sector boundary of a 2048-byte-sector disk.
  auto misaligned = SinglePartitionLayout(63, 10, 512);
  EXPECT_FALSE(ApplyDriveLayout(misaligned, 2048, 1 << 20, mbr));
  EXPECT_EQ(mbr, before);

  // An entry not marked for rewriting keeps its slot.
  auto keep = SinglePartitionLayout(63, 10, 512);
  keep[8 + 27] = 0;
  ASSERT_TRUE(ApplyDriveLayout(keep, 512, 1 << 20, mbr));
  EXPECT_EQ(mbr[446 + 4], 0x0C);
}

// A drive of exactly two cylinders: the library plans its partition to the
// disk's last sector, and the table takes it; a sector more it refuses.
TEST(MbrLayoutTest, APartitionEndingOnTheLastSectorIsWritten) {
  constexpr std::uint32_t kSectors = 2 * 255 * 63;
  CStSDisk plan;
  ASSERT_TRUE(plan.Plan(kSectors, 512, ""));
  ASSERT_EQ(plan.HiddenSectors() + plan.VolumeSectors(), kSectors);
  const platform::DiskGeometry geometry = RemovableDiskGeometry(kSectors * 512ull, 512);
  std::array<std::uint8_t, 512> mbr{};
  ASSERT_TRUE(ApplyDriveLayout(
      BuildSinglePartitionLayout(geometry, plan.HiddenSectors(), plan.VolumeSectors()), 512,
      kSectors, mbr));
  EXPECT_EQ(PartitionsInTable(mbr, 512),
            (std::vector<MbrPartition>{
                {1, plan.HiddenSectors() * 512ull, plan.VolumeSectors() * 512ull}}));
  const std::uint8_t lastChs[] = {0xFE, 0x3F, 0x01};  // cylinder 1, head 254, sector 63
  EXPECT_EQ(0, std::memcmp(&mbr[446 + 5], lastChs, sizeof lastChs));

  const auto before = mbr;
  EXPECT_FALSE(ApplyDriveLayout(
      BuildSinglePartitionLayout(geometry, plan.HiddenSectors(), plan.VolumeSectors() + 1), 512,
      kSectors, mbr));
  EXPECT_EQ(mbr, before);
}

// Whether sector 0 is a partition table: a table may list no partition
// (no volume then); a FAT boot sector without one is a file system over the
// whole disk.
TEST(MbrLayoutTest, APartitionTableIsToldFromABootSector) {
  std::array<std::uint8_t, 512> empty{};
  EXPECT_FALSE(HoldsPartitionTable(empty, 512));
  auto table = empty;
  table[510] = 0x55;
  table[511] = 0xAA;
  EXPECT_TRUE(HoldsPartitionTable(table, 512));
  auto fat = table;
  fat[0] = 0xEB;
  EXPECT_FALSE(HoldsPartitionTable(fat, 512));
  ASSERT_TRUE(ApplyDriveLayout(SinglePartitionLayout(63, 1, 512), 512, 16065, fat));
  EXPECT_TRUE(HoldsPartitionTable(fat, 512));  // boot code that jumps, and a partition
  auto badFlag = table;
  badFlag[446] = 0x12;
  EXPECT_FALSE(HoldsPartitionTable(badFlag, 512));
}

TEST(MbrLayoutTest, RemovableGeometryCountsWholeCylinders) {
  const platform::DiskGeometry g = RemovableDiskGeometry(std::uint64_t{1} << 30, 512);
  EXPECT_EQ(g.cylinders, 130u);
  EXPECT_EQ(g.tracksPerCylinder, 255u);
  EXPECT_EQ(g.sectorsPerTrack, 63u);
  EXPECT_EQ(g.bytesPerSector, 512u);
  EXPECT_EQ(g.mediaType, 11u);
  EXPECT_EQ(RemovableDiskGeometry(std::uint64_t{1} << 30, 2048).cylinders, 32u);
}

TEST(HidDescriptorTest, ReportLengthsAreTheLongestReportPlusItsIdByte) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> descriptor;
    std::uint16_t page, usage, input, output, feature;
  };
  const std::vector<Case> cases = {
      {"ids, two outputs and an input",
       {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x85, 0x01, 0x96,
        0x00, 0x04, 0x09, 0x01, 0x91, 0x02, 0x85, 0x02, 0x95, 0x10, 0x09, 0x01,
        0x91, 0x02, 0x85, 0x03, 0x95, 0x0D, 0x09, 0x01, 0x81, 0x02, 0xC0},
       0xFF00,
       0x0001,
       14,
       1025,
       0},
      {"no ids: a boot keyboard",
       {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x75, 0x01, 0x95,
        0x08, 0x81, 0x02, 0x75, 0x08, 0x95, 0x07, 0x81, 0x00, 0x75, 0x01,
        0x95, 0x05, 0x91, 0x02, 0x75, 0x03, 0x95, 0x01, 0x91, 0x01, 0xC0},
       0x0001,
       0x0006,
       9,
       2,
       0},
      {"four-byte items: a signed 32-bit range, a long count, an extended usage",
       {0x06, 0x00, 0xFF, 0x0B, 0x02, 0x00, 0xA0, 0xFF, 0xA1, 0x01, 0x17, 0x00, 0x00, 0x00,
        0x80, 0x27, 0xFF, 0xFF, 0xFF, 0x7F, 0x75, 0x20, 0x95, 0x04, 0x09, 0x01, 0x81, 0x02,
        0x75, 0x08, 0x97, 0x00, 0x01, 0x00, 0x00, 0x09, 0x01, 0x91, 0x02, 0xC0},
       0xFFA0,
       0x0002,
       17,
       257,
       0},
      {"push and pop restore the report size",
       {0x06, 0xA0, 0xFF, 0x09, 0x02, 0xA1, 0x01, 0x75, 0x08, 0x95,
        0x03, 0xA4, 0x75, 0x10, 0xB1, 0x02, 0xB4, 0x81, 0x02, 0xC0},
       0xFFA0,
       0x0002,
       4,
       0,
       7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto caps = CapsFromReportDescriptor(c.descriptor);
    ASSERT_TRUE(caps.has_value());
    EXPECT_EQ(caps->usagePage, c.page);
    EXPECT_EQ(caps->usage, c.usage);
    EXPECT_EQ(caps->inputReportByteLength, c.input);
    EXPECT_EQ(caps->outputReportByteLength, c.output);
    EXPECT_EQ(caps->featureReportByteLength, c.feature);
  }
  // Truncated item, unclosed collection, pop without push.
  for (const std::vector<std::uint8_t>& bad :
       {std::vector<std::uint8_t>{0x06, 0x00}, std::vector<std::uint8_t>{0xA1, 0x01},
        std::vector<std::uint8_t>{0xB4}})
    EXPECT_FALSE(CapsFromReportDescriptor(bad).has_value());
}

TEST(MountTableTest, MountInfoLinesGiveDeviceAndUnescapedMountPoint) {
  const auto mounts = ParseMountInfo(
      "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
      "97 29 8:17 / /media/user/TESSIO\\040MIRL rw,nosuid shared:52 master:3 - vfat /dev/sdb1 "
      "rw,fmask=0022\n"
      "garbage line\n"
      "98 29 259:3 /sub /mnt/back\\134slash rw - ext4 /dev/nvme0n1p3 rw");
  ASSERT_EQ(mounts.size(), 3u);
  EXPECT_EQ(mounts[1].device, makedev(8, 17));
  EXPECT_EQ(mounts[1].mountPoint, "/media/user/TESSIO MIRL");
  EXPECT_EQ(mounts[1].fsType, "vfat");
  EXPECT_EQ(mounts[1].source, "/dev/sdb1");
  EXPECT_EQ(mounts[2].device, makedev(259, 3));
  EXPECT_EQ(mounts[2].mountPoint, "/mnt/back\\slash");
}

TEST(WindowsNamesTest, LinuxDevicesGetTheNamesWindowsGivesThem) {
  EXPECT_EQ(UsbInstanceId(0x3F1C, 0x7A52, "0000KX7T4A2C19F0", "/sys/devices/x/1-2"),
            "USB\\VID_3F1C&PID_7A52\\0000KX7T4A2C19F0");
  // A serial Windows would not use gives a location-based identifier.
  for (const char* serial : {"", "AB CD", "A,B",
                             "\x01"
                             "AB"}) {
    const std::string id = UsbInstanceId(0x3F1C, 0x7A52, serial, "/sys/devices/x/1-2");
    EXPECT_EQ(id.rfind("USB\\VID_3F1C&PID_7A52\\5&", 0), 0u) << id;
    EXPECT_EQ(id.find(' '), std::string::npos);
  }

  const std::string path = HidInterfacePath(0x066F, 0x3770, "hidraw12");
  EXPECT_EQ(path, "\\\\?\\hid#vid_066f&pid_3770#hidraw12#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  EXPECT_EQ(HidrawNameOfPath(path), "hidraw12");
  for (const char* other : {"\\\\?\\hid#vid_066f&pid_3770#hidraw#{x}",
                            "\\\\?\\hid#vid_066f&pid_3770#../sda#{x}", "hidraw0"})
    EXPECT_FALSE(HidrawNameOfPath(other).has_value()) << other;

  const std::string device = UsbStorDeviceName("Korvane", "Tessio Mirl", "0100");
  EXPECT_EQ(device, "Disk&Ven_Korvane&Prod_Tessio_Mirl&Rev_0100");
  EXPECT_EQ(MountedDevicePath(device, "0000KX7T4A2C19F0"),
            "\\??\\USBSTOR#Disk&Ven_Korvane&Prod_Tessio_Mirl&Rev_0100#0000KX7T4A2C19F0&0#"
            "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
}

}  // namespace
}  // namespace kx7::linux_backend
