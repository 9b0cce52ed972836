#include "testbed_fixture.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <fstream>

#include "sim/scenario/sb_file.h"

namespace kx7::test {

void TestbedTest::SetUp() {
  if (!UsbTestbed::Available())
    GTEST_SKIP() << "umockdev's preload library is not loaded (run with "
                    "LD_PRELOAD=libumockdev-preload.so.0, as CTest does)";
  bed = std::make_unique<UsbTestbed>();
  scratch = bed->testbedPath("/scratch");
  ASSERT_EQ(mkdir(scratch.c_str(), 0755), 0);
  config.mountInfoPath = scratch + "/mountinfo";
  config.stateDirectory = scratch + "/state";
  WriteFile(config.mountInfoPath, {});
  backend = std::make_unique<linux_backend::LinuxBackend>(config);
  const platform::Services s = backend->services();
  services.emplace(platform::Services{s.volumes, s.devices, s.hid, s.registry, s.shell, s.com,
                                      s.files, s.system, *bed});
  library = std::make_unique<Library>(*services);
}

void TestbedTest::TearDown() {
  library.reset();
  backend.reset();
  bed.reset();
}

std::size_t TestbedTest::AddPlayer(const std::string& serial, sim::PlayerMode mode) {
  sim::PlayerConfig player;
  player.serial = serial;
  player.initialMode = mode;
  const auto firmware = sim::BuildSbFile({.productVersion = {1, 1, 0},
                                          .componentVersion = {1, 1, 0},
                                          .size = 250 * 1024 + 9,
                                          .seed = 3});
  return bed->addPlayer(player, sim::FactoryDrives(firmware, {1, 1, 0}, {1, 1, 0}));
}

void TestbedTest::Mount(dev_t device, const std::string& directory) {
  mkdir(directory.c_str(), 0755);
  std::ofstream(config.mountInfoPath, std::ios::app)
      << "97 29 " << major(device) << ":" << minor(device) << " / " << directory
      << " rw,nosuid shared:52 - vfat /dev/x rw\n";
}

void TestbedTest::WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    for (std::size_t at = path.find('/', 1); at <= slash; at = path.find('/', at + 1))
      mkdir(path.substr(0, at).c_str(), 0755);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> TestbedTest::ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> TestbedTest::DescriptorsOn(const std::string& node) const {
  std::vector<std::string> found;
  const std::string target = bed->testbedPath(node);
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return found;
  while (const dirent* entry = readdir(fds)) {
    char link[PATH_MAX];
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    const std::string text(link, static_cast<std::size_t>(n));
    if (text.rfind(target, 0) == 0) found.push_back(text);
  }
  closedir(fds);
  return found;
}

}  // namespace kx7::test
