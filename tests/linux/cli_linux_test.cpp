// The command-line tool's Linux helpers: the udev rules it prints, what it
// tells a user stopped at a device node, and how it releases the player's
// mounts.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/linux/access_message.h"
#include "cli/linux/data_mount.h"
#include "cli/linux/mount_release.h"
#include "cli/linux/udev_rules.h"

namespace kx7::cli {
namespace {

using linux_backend::AccessFailure;
using linux_backend::MountedVolume;
using linux_backend::NodeOperation;

TEST(UdevRulesTest, ThePrintedRulesAreTheRulesFileAndCoverEveryMode) {
  std::ifstream file(KX7FW_UDEV_RULES_PATH);
  std::stringstream text;
  text << file.rdbuf();
  ASSERT_FALSE(text.str().empty());
  EXPECT_EQ(UdevRulesText(), text.str());

  // Each node the backend opens in each mode is tagged for the user.
  std::vector<std::string> tagged;
  std::istringstream lines(text.str());
  for (std::string line; std::getline(lines, line);)
    if (line.find("TAG+=\"uaccess\"") != std::string::npos) tagged.push_back(line);
  for (const char* wanted :
       {"SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"3f1c\", "
        "ATTR{idProduct}==\"7a52\"",
        "SUBSYSTEM==\"block\", ATTRS{idVendor}==\"3f1c\", ATTRS{idProduct}==\"7a52\"",
        "SUBSYSTEM==\"scsi_generic\", ATTRS{idVendor}==\"3f1c\", ATTRS{idProduct}==\"7a52\"",
        "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"066f\", ATTRS{idProduct}==\"3770\"",
        "SUBSYSTEM==\"block\", ATTRS{vendor}==", "SUBSYSTEM==\"scsi_generic\", ATTRS{vendor}=="}) {
    const bool found = std::any_of(tagged.begin(), tagged.end(), [&](const std::string& line) {
      return line.rfind(wanted, 0) == 0;
    });
    EXPECT_TRUE(found) << wanted;
  }
}

// The updater's disk and generic node are the user's whatever the case of
// its INQUIRY strings, as the library takes them (udev matches attributes as
// shell globs, trailing blanks cut); and the sg module is loaded for the
// player's SCSI device in both its modes.
TEST(UdevRulesTest, TheUpdaterRulesMatchItsNamesInAnyCase) {
  std::istringstream lines{std::string(UdevRulesText())};
  const auto pattern = [](const std::string& line, const std::string& key) {
    const std::size_t at = line.find(key + "==\"");
    if (at == std::string::npos) return std::string();
    const std::size_t begin = at + key.size() + 3;
    return line.substr(begin, line.find('"', begin) - begin);
  };
  int updaterLines = 0, sgLoads = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("RUN{builtin}+=\"kmod load sg\"") != std::string::npos) ++sgLoads;
    const std::string vendor = pattern(line, "ATTRS{vendor}");
    const std::string model = pattern(line, "ATTRS{model}");
    if (vendor.empty() || model.empty()) continue;
    ++updaterLines;
    for (const char* name : {"MSC Recovery", "msc recovery", "MSC RECOVERY", "Msc Recovery"})
      EXPECT_EQ(fnmatch(model.c_str(), name, 0), 0) << model << " / " << name;
    for (const char* name : {"_Generic", "_GENERIC", "_generic"})
      EXPECT_EQ(fnmatch(vendor.c_str(), name, 0), 0) << vendor << " / " << name;
    EXPECT_NE(fnmatch(model.c_str(), "MSC Player", 0), 0) << model;
  }
  EXPECT_EQ(updaterLines, 2);
  EXPECT_EQ(sgLoads, 2);
}

TEST(AccessMessageTest, EachFailureNamesTheNodeAndWhatToDo) {
  struct Case {
    AccessFailure failure;
    std::vector<std::string> mentions;
  };
  const std::vector<Case> cases = {
      {{"/dev/sg2", EACCES, NodeOperation::Open}, {"/dev/sg2", "kx7fw udev-rules", "udevadm"}},
      {{"/dev/sdb", EPERM, NodeOperation::Lock}, {"/dev/sdb", "kx7fw udev-rules"}},
      {{"/dev/sdb", EACCES, NodeOperation::Reread}, {"/dev/sdb", "root", "sudo"}},
      {{"/dev/sdb1", EBUSY, NodeOperation::Lock}, {"/dev/sdb1", "udisksctl unmount -b /dev/sdb1"}},
      {{"/dev/sg2", ENODEV, NodeOperation::Command}, {"/dev/sg2", "went away"}},
      {{"/dev/sdb", ENXIO, NodeOperation::Reread}, {"/dev/sdb", "partitions"}},
      {{"/dev/hidraw3", EIO, NodeOperation::Command}, {"/dev/hidraw3", "Input/output error"}},
      // Rules installed, but no generic node: what is missing is the module.
      {{"/dev/sdb", EPERM, NodeOperation::BlockNodeCommand}, {"/dev/sdb", "modprobe sg"}},
  };
  for (const Case& c : cases) {
    const std::string message = AccessFailureMessage(c.failure);
    for (const std::string& mention : c.mentions)
      EXPECT_NE(message.find(mention), std::string::npos) << message << "\nlacks: " << mention;
  }
}

TEST(MountReleaseTest, UdisksUnmountsWhatItCanAndTheRestIsNamed) {
  const std::vector<MountedVolume> mounts = {{"/dev/sdb1", "/media/user/TESSIO"},
                                             {"/dev/sdb2", "/media/user/PLAYER 2"}};
  std::vector<std::vector<std::string>> calls;
  const auto runner = [&](const std::vector<std::string>& argv) {
    calls.push_back(argv);
    return argv.back() == "/dev/sdb1" ? 0 : 1;
  };
  const auto left = ReleaseMounts(mounts, true, runner);
  EXPECT_EQ(calls, (std::vector<std::vector<std::string>>{
                       {"udisksctl", "unmount", "--no-user-interaction", "-b", "/dev/sdb1"},
                       {"udisksctl", "unmount", "--no-user-interaction", "-b", "/dev/sdb2"}}));
  EXPECT_EQ(left, (std::vector<MountedVolume>{mounts[1]}));
  const std::string message = StillMountedMessage(left);
  EXPECT_NE(message.find("umount '/media/user/PLAYER 2'"), std::string::npos) << message;
  EXPECT_EQ(message.find("TESSIO"), std::string::npos) << message;

  // Without udisks nothing is run and every mount is the user's to release.
  calls.clear();
  EXPECT_EQ(ReleaseMounts(mounts, false, runner), mounts);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(StillMountedMessage({}), "");
}

TEST(MountReleaseTest, CommandsRunAndReportTheirExitStatus) {
  EXPECT_EQ(RunCommand({"sh", "-c", "exit 0"}), 0);
  EXPECT_EQ(RunCommand({"sh", "-c", "exit 3"}), 3);
  EXPECT_EQ(RunCommand({"kx7fw-no-such-program"}), -1);
}

// What udisksctl prints never reaches the tool's standard output, which a
// script reads as JSON: a fake udisksctl on the PATH says something on its
// standard output, and the test's standard output must stay empty.
TEST(MountReleaseTest, UdisksctlNeverWritesToOurStandardOutput) {
  const std::string bin = ::testing::TempDir() + "kx7fw-fake-udisks-" + std::to_string(getpid());
  std::filesystem::create_directories(bin);
  {
    std::ofstream fake(bin + "/udisksctl");
    fake << "#!/bin/sh\nfor a; do node=$a; done\necho \"Mounted $node at /media/user/KX7TMB.\"\n"
            "echo \"Unmounted $node.\"\n";
  }
  std::filesystem::permissions(bin + "/udisksctl", std::filesystem::perms::owner_all);
  const char* path = std::getenv("PATH");
  const std::string saved = path ? path : "";
  setenv("PATH", (bin + ":" + saved).c_str(), 1);

  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int released =
      RunCommand({"udisksctl", "unmount", "--no-user-interaction", "-b", "/dev/sdb1"});
  std::string said;
  const int mounted = RunCapturing({"udisksctl", "mount", "-b", "/dev/sdb1"}, said);
  std::fflush(stdout);
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  setenv("PATH", saved.c_str(), 1);
  std::filesystem::remove_all(bin);

  EXPECT_EQ(released, 0);
  EXPECT_EQ(mounted, 0);
  EXPECT_EQ(out, "");
  EXPECT_NE(err.find("Unmounted"), std::string::npos) << err;  // told to people
  EXPECT_EQ(said, "Mounted /dev/sdb1 at /media/user/KX7TMB.\nUnmounted /dev/sdb1.\n");
}

}  // namespace
}  // namespace kx7::cli
