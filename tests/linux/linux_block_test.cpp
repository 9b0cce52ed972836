// Real block I/O through the Linux backend, on loop devices offered to it
// as drive letters: positioned reads and writes, geometry, the partition
// table rewrite, and the lock refused while the disk is held or mounted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>

#include "device/device_session.h"
#include "layout_bytes.h"
#include "loop_device.h"
#include "loop_player.h"
#include "media/data_drive_format.h"
#include "platform/linux/linux_backend.h"
#include "platform/linux/usb_disks.h"
#include "sim/scenario/sb_file.h"
#include "support/fat_oracle.h"
#include "util/byte_order.h"

namespace kx7::test {
namespace {

using linux_backend::AccessFailure;
using linux_backend::NodeOperation;

constexpr std::uint64_t kDiskSize = 8 << 20;  // one whole 255 x 63 cylinder and a bit

// The loop disk as the updater's: the real backend below, the simulated
// player answering the commands sent on its handles, waits passing at once.
struct LoopUpdater {
  LoopUpdater(linux_backend::LinuxBackend& backend, char letter)
      : player(Config()), volumes(backend.volumes(), player, letter), real(backend.services()) {
    player.mode = sim::PlayerMode::Updater;
    player.drives = sim::FactoryDrives(sim::BuildSbFile({}), {1, 1, 0}, {1, 1, 0});
  }
  static sim::PlayerConfig Config() {
    sim::PlayerConfig config;
    config.initialMode = sim::PlayerMode::Updater;
    return config;
  }
  platform::Services Services() {
    return {volumes,  real.devices, real.hid,    real.registry, real.shell,
            real.com, real.files,   real.system, clock};
  }

  sim::Player player;
  LoopPlayerVolumes volumes;
  platform::Services real;
  NoWaitClock clock;
};

class LoopDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    image = std::string(KX7FW_TEST_SCRATCH) + "/" + test->name() + "-" + std::to_string(getpid()) +
            ".img";
    std::string why;
    loop = LoopDevice::Create(image, kDiskSize, why);
    if (!loop) GTEST_SKIP() << why;
    Offer(*loop);
  }
  // The loop device as a drive letter, to a fresh backend.
  void Offer(const LoopDevice& device) {
    config.extraDisks = {device.name()};
    config.partitionSettleTimeout = std::chrono::milliseconds(5000);
    backend = std::make_unique<linux_backend::LinuxBackend>(config);
    // Its letter comes after those of any USB disks this machine has.
    letter = 0;
    for (const auto& disk : linux_backend::ListUsbDisks(config.extraDisks))
      if (disk.sysname == device.name()) {
        letter = disk.letter;
        physicalDrive = disk.letter - 'B';
      }
    ASSERT_NE(letter, 0);
  }
  void TearDown() override {
    backend.reset();
    loop.reset();
    if (!image.empty()) unlink(image.c_str());
  }

  platform::VolumeIo& Volumes() { return backend->volumes(); }
  platform::Handle OpenVolume() {
    return Volumes().openDevice(std::string("\\\\.\\") + letter + ":");
  }
  platform::Handle OpenDisk() {
    return Volumes().openDevice("\\\\.\\PhysicalDrive" + std::to_string(physicalDrive));
  }
  std::vector<std::uint8_t> ImageBytes(std::uint64_t offset, std::size_t length) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<std::uint8_t> bytes(length);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    return bytes;
  }

  std::string image;
  std::unique_ptr<LoopDevice> loop;
  linux_backend::LinuxConfig config;
  std::unique_ptr<linux_backend::LinuxBackend> backend;
  char letter = 0;
  int physicalDrive = -1;
};

TEST_F(LoopDiskTest, PositionedReadsAndWritesReachTheDisk) {
  std::vector<std::uint8_t> pattern(4096);
  std::iota(pattern.begin(), pattern.end(), 0);
  const std::uint64_t at = (1 << 20) + 512;
  for (const bool physical : {false, true}) {
    SCOPED_TRACE(physical ? "physical drive" : "volume");
    pattern[0] = physical ? 0xD1 : 0x0E;
    const platform::Handle handle = physical ? OpenDisk() : OpenVolume();
    ASSERT_TRUE(handle.isOpen());
    ASSERT_TRUE(Volumes().writeAt(handle, at, pattern));
    std::vector<std::uint8_t> back(pattern.size());
    ASSERT_TRUE(Volumes().readAt(handle, at, back));
    EXPECT_EQ(back, pattern);
    // Transfers that run past the end of the disk fail whole.
    std::vector<std::uint8_t> tail(1024);
    EXPECT_FALSE(Volumes().readAt(handle, kDiskSize - 512, tail));
    EXPECT_FALSE(Volumes().writeAt(handle, kDiskSize - 512, tail));
    Volumes().closeHandle(handle);
    EXPECT_EQ(ImageBytes(at, pattern.size()), pattern);  // on the disk, not only in a cache
  }
  EXPECT_EQ(backend->openHandleCount(), 0u);
}

TEST_F(LoopDiskTest, GeometryIsThatOfARemovableDiskOfThisSize) {
  const platform::Handle handle = OpenDisk();
  ASSERT_TRUE(handle.isOpen());
  platform::DiskGeometry geometry;
  ASSERT_TRUE(Volumes().driveGeometry(handle, geometry));
  EXPECT_EQ(geometry.cylinders, 1u);  // 16384 sectors: one whole cylinder of 16065
  EXPECT_EQ(geometry.tracksPerCylinder, 255u);
  EXPECT_EQ(geometry.sectorsPerTrack, 63u);
  EXPECT_EQ(geometry.bytesPerSector, 512u);
  EXPECT_EQ(geometry.mediaType, 11u);
  Volumes().closeHandle(handle);
}

// The layout the library writes: one FAT partition from sector 63 to the
// end of the last whole cylinder, the other slots cleared.
// One partition from sector 63 to the end of the disk's single cylinder.
std::array<std::uint8_t, 136> OnePartitionLayout() {
  return SinglePartitionLayout(63, 1, 512);
}

TEST_F(LoopDiskTest, TheLayoutRewriteWritesThisTable) {
  const bool kernelReads = LoopDevice::KernelReadsMbrTables(KX7FW_TEST_SCRATCH);
  const platform::Handle handle = OpenDisk();
  ASSERT_TRUE(handle.isOpen());
  ASSERT_TRUE(Volumes().lockVolume(handle));
  // It succeeds once the kernel has made the partition; a kernel that makes
  // none is reported at once, not waited for.
  EXPECT_EQ(Volumes().setDriveLayout(handle, OnePartitionLayout()), kernelReads);
  if (!kernelReads) {
    EXPECT_EQ(backend->lastAccessFailure(),
              (AccessFailure{loop->node(), ENXIO, NodeOperation::Reread}));
  }
  Volumes().closeHandle(handle);

  const std::vector<std::uint8_t> entry = {0x00, 0x01, 0x01, 0x00, 0x06, 0xFE, 0x3F, 0x00,
                                           0x3F, 0x00, 0x00, 0x00, 0x82, 0x3E, 0x00, 0x00};
  EXPECT_EQ(ImageBytes(446, 16), entry);
  EXPECT_EQ(ImageBytes(462, 48), std::vector<std::uint8_t>(48, 0));
  EXPECT_EQ(ImageBytes(510, 2), (std::vector<std::uint8_t>{0x55, 0xAA}));
}

TEST_F(LoopDiskTest, TheRewrittenTableShowsItsPartitionNode) {
  if (!LoopDevice::KernelReadsMbrTables(KX7FW_TEST_SCRATCH))
    GTEST_SKIP() << "this kernel does not read MBR partition tables (no partition nodes)";
  const platform::Handle handle = OpenDisk();
  ASSERT_TRUE(handle.isOpen());
  ASSERT_TRUE(Volumes().lockVolume(handle));
  ASSERT_TRUE(Volumes().setDriveLayout(handle, OnePartitionLayout()));
  struct stat info {};
  ASSERT_EQ(stat(loop->partitionNode(1).c_str(), &info), 0);
  EXPECT_TRUE(S_ISBLK(info.st_mode));
  const auto disks = linux_backend::ListUsbDisks(config.extraDisks);
  const auto* disk = linux_backend::DiskAtLetter(disks, letter);
  ASSERT_NE(disk, nullptr);
  ASSERT_EQ(disk->partitions.size(), 1u);
  EXPECT_EQ(disk->partitions[0].start512, 63u);
  EXPECT_EQ(disk->partitions[0].size512, 16002u);

  // Deleting the layout takes the partition away again.
  EXPECT_TRUE(Volumes().deleteDriveLayout(handle));
  EXPECT_NE(stat(("/sys/block/" + loop->name() + "/" + loop->name() + "p1").c_str(), &info), 0);
  Volumes().closeHandle(handle);
}

// A table that lists no partition leaves the letter without a volume: its
// handle writes nowhere, rather than over the whole disk. The disk's own
// handle still reaches every sector.
TEST_F(LoopDiskTest, ATableWithoutAPartitionOffersNoVolumeToWrite) {
  std::array<std::uint8_t, 136> none{};
  PutLe32(&none[0], 4);
  const platform::Handle disk = OpenDisk();
  ASSERT_TRUE(disk.isOpen());
  ASSERT_TRUE(Volumes().lockVolume(disk));
  ASSERT_TRUE(Volumes().setDriveLayout(disk, none));
  ASSERT_EQ(ImageBytes(510, 2), (std::vector<std::uint8_t>{0x55, 0xAA}));
  ASSERT_TRUE(Volumes().unlockVolume(disk));

  const platform::Handle volume = OpenVolume();
  ASSERT_TRUE(volume.isOpen());
  const std::vector<std::uint8_t> sector(512, 0xC3);
  std::vector<std::uint8_t> back(512);
  EXPECT_FALSE(Volumes().writeAt(volume, 63 * 512, sector));
  EXPECT_FALSE(Volumes().readAt(volume, 0, back));
  EXPECT_EQ(ImageBytes(63 * 512, 512), std::vector<std::uint8_t>(512, 0));
  EXPECT_TRUE(Volumes().writeAt(disk, 63 * 512, sector));
  Volumes().closeHandle(volume);
  Volumes().closeHandle(disk);
  EXPECT_EQ(ImageBytes(63 * 512, 512), sector);
}

// The file system Windows would name on a volume spanning the disk, read
// from what mkfs wrote: FAT16 is "FAT", FAT32 "FAT32", others nothing.
TEST_F(LoopDiskTest, TheFileSystemNameIsReadFromTheVolume) {
  struct Case {
    const char* mkfs;
    std::uint64_t size;
    const char* name;
  };
  const Case cases[] = {
      {"mkfs.fat -F 16", 16 << 20, "FAT"},
      {"mkfs.fat -F 32", 40 << 20, "FAT32"},
      {"mkfs.ext2 -q -F", 8 << 20, ""},
  };
  loop.reset();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mkfs);
    std::string why;
    std::ofstream(image, std::ios::binary | std::ios::trunc).close();
    std::filesystem::resize_file(image, c.size);
    if (std::system((std::string(c.mkfs) + " " + image + " >/dev/null 2>&1").c_str()) != 0)
      GTEST_SKIP() << c.mkfs << " is not available (dosfstools, e2fsprogs)";
    loop = LoopDevice::Attach(image, why);
    ASSERT_TRUE(loop) << why;
    Offer(*loop);
    if (HasFatalFailure()) return;
    EXPECT_EQ(Volumes().fileSystemName(std::string(1, letter) + ":\\"), c.name);
  }
}

TEST_F(LoopDiskTest, TheLockTakesTheWholeDiskUnlessSomeoneHoldsIt) {
  const platform::Handle handle = OpenVolume();
  ASSERT_TRUE(handle.isOpen());
  {
    // Someone else holds the disk exclusively.
    const int holder = open(loop->node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    EXPECT_FALSE(Volumes().lockVolume(handle));
    EXPECT_EQ(backend->lastAccessFailure(),
              (AccessFailure{loop->node(), EBUSY, NodeOperation::Lock}));
    close(holder);
  }
  ASSERT_TRUE(Volumes().lockVolume(handle));
  const int other = open(loop->node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  EXPECT_LT(other, 0);  // now nobody else gets it
  if (other >= 0) close(other);
  EXPECT_TRUE(Volumes().unlockVolume(handle));
  EXPECT_FALSE(Volumes().unlockVolume(handle));
  const int after = open(loop->node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  EXPECT_GE(after, 0);
  if (after >= 0) close(after);
  Volumes().closeHandle(handle);
}

TEST_F(LoopDiskTest, AMountedDiskIsNeitherLockedNorDismounted) {
  loop.reset();  // a file system first, then the device over it
  if (std::system(("mkfs.ext2 -q -F " + image + " >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "mkfs.ext2 (e2fsprogs) is not available to make a file system to mount";
  std::string why;
  loop = LoopDevice::Attach(image, why);
  ASSERT_TRUE(loop) << why;
  Offer(*loop);  // it may have another number now
  if (HasFatalFailure()) return;
  const std::string where = image + ".mnt";
  mkdir(where.c_str(), 0755);
  if (mount(loop->node().c_str(), where.c_str(), "ext2", 0, nullptr) != 0)
    GTEST_SKIP() << "cannot mount here: " << std::strerror(errno);
  struct Unmount {
    std::string at;
    ~Unmount() {
      umount2(at.c_str(), 0);
      rmdir(at.c_str());
    }
  } unmount{where};

  const platform::Handle handle = OpenVolume();
  ASSERT_TRUE(handle.isOpen());
  EXPECT_FALSE(Volumes().lockVolume(handle));
  EXPECT_EQ(backend->lastAccessFailure(),
            (AccessFailure{loop->node(), EBUSY, NodeOperation::Lock}));
  EXPECT_FALSE(Volumes().dismountVolume(handle));
  EXPECT_EQ(backend->mountsOfLetter(letter),
            (std::vector<linux_backend::MountedVolume>{{loop->node(), where}}));
  Volumes().closeHandle(handle);
}

// The library itself on the loop device, standing in for the updater's
// disk: found by INQUIRY among the physical drives, locked, and written
// through the session's handle - what formatting the data drive does.
TEST_F(LoopDiskTest, TheLibraryTakesTheLoopDiskForTheUpdatersAndWritesIt) {
  LoopUpdater updater(*backend, letter);
  const platform::Services services = updater.Services();
  LoopPlayerVolumes& volumes = updater.volumes;

  DeviceSession session(services);
  ASSERT_TRUE(session.OpenUpdaterByPhysicalDrive());
  EXPECT_EQ(session.Kind, DeviceKindUpdater);
  ASSERT_TRUE(session.LockVolume());
  // The disk is the session's alone now.
  const int other = open(loop->node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  EXPECT_LT(other, 0);
  if (other >= 0) close(other);

  const std::vector<std::uint8_t> boot(512, 0xB5);
  ASSERT_TRUE(volumes.writeAt(session.VolumeHandle, 63 * 512, boot));
  session.Close();
  EXPECT_EQ(ImageBytes(63 * 512, 512), boot);
  EXPECT_EQ(backend->openHandleCount(), 0u);
}

// The data drive formatted by the library through the Linux backend - the
// partition table rewritten and re-read by the kernel, the file system written
// through the partition's node - and judged by fsck.fat.
TEST_F(LoopDiskTest, TheFormattedDataDrivePassesFsck) {
  if (!LoopDevice::KernelReadsMbrTables(KX7FW_TEST_SCRATCH))
    GTEST_SKIP() << "this kernel does not read MBR partition tables (no partition nodes)";
  const auto fsck = FindTool("fsck.fat");
  if (!fsck) GTEST_SKIP() << "dosfstools is not installed";
  LoopUpdater updater(*backend, letter);
  const platform::Services services = updater.Services();

  DeviceSession session(services);
  ASSERT_TRUE(session.OpenByDriveLetter(letter));
  ASSERT_TRUE(session.LockVolume());
  const auto sectors = static_cast<std::uint32_t>(kDiskSize / 512);
  SectorWriter writer{&session, 512};
  ASSERT_TRUE(FormatDataDrive(writer, 512, "KX7TMB", sectors));
  session.Close();

  CStSDisk disk;
  ASSERT_TRUE(disk.Plan(sectors, 512, "KX7TMB"));
  const std::string volume = image + ".volume";
  {
    const auto bytes = ImageBytes(std::uint64_t{disk.HiddenSectors()} * 512,
                                  std::size_t{disk.VolumeSectors()} * 512);
    std::ofstream(volume, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  const FsckVerdict verdict = CheckWithFsck(*fsck, volume);
  unlink(volume.c_str());
  EXPECT_TRUE(verdict.complaints.empty()) << verdict.output;
  EXPECT_EQ(backend->openHandleCount(), 0u);
}

}  // namespace
}  // namespace kx7::test
