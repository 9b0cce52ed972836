// The mount the tool makes of a player's data partition to keep the user's
// files over a recovery, on a loop device with a FAT file system: read-only
// when only reading is asked for, writable when asked, and gone afterwards.
// Needs root, loop devices and a kernel with vfat; skipped elsewhere.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/linux/data_mount.h"
#include "loop_device.h"
#include "support/fat_oracle.h"

namespace kx7::test {
namespace {

bool Mounted(const std::string& path) {
  std::ifstream table("/proc/self/mountinfo");
  std::stringstream text;
  text << table.rdbuf();
  return text.str().find(" " + path + " ") != std::string::npos;
}

TEST(DataMountTest, ReadOnlyUnlessAskedAndTakenDownAfter) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a partition needs root";
  const auto mkfs = FindTool("mkfs.fat");
  if (!mkfs) GTEST_SKIP() << "dosfstools is not installed";
  const std::string image =
      ::testing::TempDir() + "kx7fw-data-mount-" + std::to_string(getpid()) + ".img";
  std::string why;
  auto loop = LoopDevice::Create(image, 8u << 20, why);
  if (!loop) GTEST_SKIP() << why;
  ASSERT_EQ(RunTool(*mkfs + " " + loop->node()).exitCode, 0);

  struct Case {
    const char* name;
    bool writable;
  };
  for (const Case& c : {Case{"read-only", false}, Case{"writable", true}}) {
    SCOPED_TRACE(c.name);
    auto mount = cli::DataMount::Open(loop->node(), c.writable, "/proc/self/mountinfo", why);
    if (!mount && why.find(std::strerror(ENODEV)) != std::string::npos)
      GTEST_SKIP() << "this kernel mounts no FAT file system: " << why;
    ASSERT_TRUE(mount) << why;
    const std::string path = mount->Path();
    EXPECT_TRUE(Mounted(path));
    // Only root may enter the folder the partition is mounted on.
    const auto perms = std::filesystem::status(path).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::others_all, std::filesystem::perms::none);
    const std::string file = path + "/SONG.MP3";
    { std::ofstream(file) << "song"; }
    EXPECT_EQ(std::filesystem::exists(file), c.writable);
    EXPECT_TRUE(mount->Close());
    EXPECT_FALSE(Mounted(path));
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  // What the writable mount wrote is on the partition.
  auto again = cli::DataMount::Open(loop->node(), false, "/proc/self/mountinfo", why);
  ASSERT_TRUE(again) << why;
  std::ifstream song(again->Path() + "/SONG.MP3");
  std::string text;
  song >> text;
  EXPECT_EQ(text, "song");
  again.reset();  // the destructor takes it down too
  loop.reset();
  std::filesystem::remove(image);
}

}  // namespace
}  // namespace kx7::test
