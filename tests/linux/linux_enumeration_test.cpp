// The Linux backend on a testbed holding the player's USB tree: drive
// letters and their order, instance identifiers, serial <-> letter through
// the registry view, the ROM's report sizes, and a node the user may not
// open.
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "cli/linux/access_message.h"
#include "firmware/hid_recovery.h"
#include "host/drive_letters.h"
#include "host/serial_lookup.h"
#include "kx7fw/kx7fw.h"
#include "testbed_fixture.h"

namespace kx7::test {
namespace {

constexpr const char* kSerialA = "0000KX7T4A2C19F0";
constexpr const char* kSerialB = "0000KX7T99990001";

std::uint32_t Bit(char letter) {
  return 1u << (letter - 'A');
}

TEST_F(TestbedTest, LettersFollowTheOrderTheDisksCameIn) {
  bed->addForeignDisk("FLASH0001");
  AddPlayer(kSerialA);
  platform::VolumeIo& volumes = services->volumes;
  EXPECT_EQ(volumes.logicalDriveMask(), Bit('B') | Bit('C'));
  EXPECT_EQ(FindDriveLetterForSerial(*services, kSerialA), 'C');

  // A disk that comes later takes the next letter; the others keep theirs.
  bed->addForeignDisk("FLASH0002");
  EXPECT_EQ(volumes.logicalDriveMask(), Bit('B') | Bit('C') | Bit('D'));
  EXPECT_EQ(FindDriveLetterForSerial(*services, kSerialA), 'C');

  EXPECT_EQ(volumes.driveType("C:\\"), platform::DriveType::Removable);
  EXPECT_EQ(volumes.driveType("d:\\"), platform::DriveType::Removable);
  EXPECT_EQ(volumes.driveType("A:\\"), platform::DriveType::NoRootDir);
  EXPECT_EQ(volumes.driveType("E:\\"), platform::DriveType::NoRootDir);
}

// A letter stays with its disk for as long as the disk is plugged in: an
// unrelated disk pulled out before it does not move it (an update reopens
// its player by letter). The next disk takes the lowest letter free.
TEST_F(TestbedTest, ALetterStaysWithItsDiskWhileItIsPluggedIn) {
  const std::size_t first = AddPlayer(kSerialB);
  AddPlayer(kSerialA);
  platform::VolumeIo& volumes = services->volumes;
  EXPECT_EQ(FindDriveLetterForSerial(*services, kSerialA), 'C');
  bed->unplug(first);
  EXPECT_EQ(volumes.logicalDriveMask(), Bit('C'));
  EXPECT_EQ(FindDriveLetterForSerial(*services, kSerialA), 'C');
  bed->addForeignDisk("FLASH0003");
  EXPECT_EQ(volumes.logicalDriveMask(), Bit('B') | Bit('C'));
  EXPECT_EQ(FindDriveLetterForSerial(*services, kSerialA), 'C');
}

// A handle whose player was pulled out holds no descriptor of it once the
// next device is opened, though the library has not closed it yet: the
// kernel can let the dead disk go.
TEST_F(TestbedTest, AHandleOfAPlayerPulledOutLetsGoOfItsNodes) {
  const std::size_t player = AddPlayer(kSerialA);
  const auto openFiles = [] {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
      ++count;
    return count;
  };
  platform::VolumeIo& volumes = services->volumes;
  const std::size_t before = openFiles();
  const platform::Handle handle = volumes.openDevice("\\\\.\\B:");
  ASSERT_TRUE(handle.isOpen());
  EXPECT_GT(openFiles(), before);  // the generic node (and the testbed's side of it)
  bed->unplug(player);
  const std::size_t unplugged = openFiles();
  EXPECT_FALSE(volumes.openDevice("\\\\.\\B:").isOpen());
  const std::size_t dropped = openFiles();
  EXPECT_LT(dropped, unplugged);
  // Closing the handle has nothing left to close.
  volumes.closeHandle(handle);
  EXPECT_EQ(openFiles(), dropped);
  EXPECT_EQ(backend->openHandleCount(), 0u);
}

// Removable as Windows has it: a disk whose medium can be removed (the
// kernel's removable attribute), not every USB disk. A USB hard disk is a
// fixed drive, which the library never sends its vendor commands to.
TEST_F(TestbedTest, AUsbHardDiskIsAFixedDrive) {
  bed->addUsbHardDisk("WXA1E12345");
  AddPlayer(kSerialA);
  platform::VolumeIo& volumes = services->volumes;
  EXPECT_EQ(volumes.logicalDriveMask(), Bit('B') | Bit('C'));
  EXPECT_EQ(volumes.driveType("B:\\"), platform::DriveType::Fixed);
  EXPECT_EQ(volumes.driveType("C:\\"), platform::DriveType::Removable);
  EXPECT_EQ(FindDriveLetterForSerial(*services, kSerialA), 'C');
}

// The device list's instance identifier and the mounted-devices view name
// the same serial, trailing blanks cut in both.
TEST_F(TestbedTest, ASerialWithTrailingBlanksIsTrimmedInEveryView) {
  AddPlayer(std::string(kSerialA) + "  ");
  char id[128] = {};
  ASSERT_EQ(DeviceSerialNum(services->devices, id, 0), 1);
  EXPECT_STREQ(id, "USB\\VID_3F1C&PID_7A52\\0000KX7T4A2C19F0");
  EXPECT_EQ(FindDriveLetterForSerial(*services, kSerialA), 'B');
}

TEST_F(TestbedTest, SerialsAndLettersMapBothWaysThroughTheRegistryView) {
  bed->addForeignDisk("FLASH0001");
  AddPlayer(kSerialA);
  AddPlayer(kSerialB);
  bed->addKeyboard();

  char id[128] = {};
  ASSERT_EQ(DeviceSerialNum(services->devices, id, 0), 1);
  EXPECT_STREQ(id, "USB\\VID_3F1C&PID_7A52\\0000KX7T4A2C19F0");
  ASSERT_EQ(DeviceSerialNum(services->devices, id, 1), 1);
  EXPECT_STREQ(id, "USB\\VID_3F1C&PID_7A52\\0000KX7T99990001");
  EXPECT_EQ(DeviceSerialNum(services->devices, id, 2), 0);

  for (const auto& [serial, letter] : {std::pair{kSerialA, 'C'}, std::pair{kSerialB, 'D'}}) {
    SCOPED_TRACE(serial);
    EXPECT_EQ(FindDriveLetterForSerial(*services, serial), letter);
    EXPECT_EQ(FindSerialForDriveLetter(*services, letter), serial);
  }
  EXPECT_FALSE(FindSerialForDriveLetter(*services, 'B').has_value());  // the flash disk
  EXPECT_EQ(FindDriveLetterForSerial(*services, "0000KX7T00000000"), 0);

  char list[26] = {};
  EXPECT_EQ(library->MSCDeviceList(list), 2);
  // Every session and registry key the lookups opened is closed again.
  EXPECT_EQ(backend->openHandleCount(), 0u);
}

TEST_F(TestbedTest, TheRomsReportSizesComeFromItsReportDescriptor) {
  bed->addKeyboard();
  AddPlayer(kSerialA, sim::PlayerMode::RomRecovery);
  {
    auto device = HidRecoveryDevice::Create(*services);
    device->Handle = device->FindRecoveryHidDevice();
    ASSERT_TRUE(device->Handle.isOpen());
    ASSERT_TRUE(device->ReadCaps());
    EXPECT_EQ(device->Caps.outputReportByteLength, 1025);
    EXPECT_EQ(device->Caps.inputReportByteLength, 14);
    EXPECT_EQ(device->Caps.usagePage, 0xFF00);
  }
  DeviceInfo info{};
  EXPECT_EQ(library->GetDeviceInfo(kSerialA, &info), 0);
  EXPECT_STREQ(info.Mode, "REC");
  EXPECT_EQ(backend->openHandleCount(), 0u);
}

// This thread without the capabilities that let root past file modes
// (capabilities are per thread), so that a node's mode counts for root too.
class WithoutAccessOverride {
 public:
  WithoutAccessOverride() {
    if (syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct dropped[2];
    std::memcpy(dropped, saved_, sizeof saved_);
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
      dropped[cap / 32].effective &= ~(1u << (cap % 32));
    active_ = syscall(SYS_capset, &header_, dropped) == 0;
  }
  ~WithoutAccessOverride() {
    if (active_) syscall(SYS_capset, &header_, saved_);
  }
  bool active() const { return active_; }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
  bool active_ = false;
};

// A query needs only the generic node (the disk's block node is opened only
// to read or write the disk).
TEST_F(TestbedTest, ANodeTheUserMayNotOpenIsNamedWithTheFix) {
  AddPlayer(kSerialA);
  const std::string node = bed->sgNode(0);
  ASSERT_EQ(chmod(bed->testbedPath(node).c_str(), 0), 0);
  WithoutAccessOverride unprivileged;
  if (geteuid() == 0 && !unprivileged.active())
    GTEST_SKIP() << "running as root and cannot drop CAP_DAC_OVERRIDE for this thread";

  DeviceInfo info{};
  EXPECT_EQ(library->GetDeviceInfo(kSerialA, &info), 1);  // no player there
  const auto failure = backend->lastAccessFailure();
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure,
            (linux_backend::AccessFailure{node, EACCES, linux_backend::NodeOperation::Open}));
  const std::string message = cli::AccessFailureMessage(*failure);
  EXPECT_NE(message.find(node), std::string::npos) << message;
  EXPECT_NE(message.find("kx7fw udev-rules"), std::string::npos) << message;
  EXPECT_EQ(backend->openHandleCount(), 0u);
}

}  // namespace
}  // namespace kx7::test
