#pragma once

// A Library on the unmodified Linux backend, looking at a umockdev testbed;
// its waits pass on the testbed's virtual clock.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/library.h"
#include "platform/linux/linux_backend.h"
#include "sim/player/player.h"
#include "usb_testbed.h"

namespace kx7::test {

class TestbedTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A player with the factory drives and an old firmware (1.01).
  std::size_t AddPlayer(const std::string& serial, sim::PlayerMode mode = sim::PlayerMode::Normal);
  // Lists a block device as mounted at `directory` (created) in the
  // backend's mountinfo.
  void Mount(dev_t device, const std::string& directory);
  // Writes a file (and its folder).
  static void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
  static std::vector<std::uint8_t> ReadFile(const std::string& path);
  // Descriptors of this process open on a testbed node such as "/dev/sdc".
  std::vector<std::string> DescriptorsOn(const std::string& node) const;

  std::unique_ptr<UsbTestbed> bed;
  std::string scratch;  // a folder of the test's own
  linux_backend::LinuxConfig config;
  std::unique_ptr<linux_backend::LinuxBackend> backend;
  std::optional<platform::Services> services;
  std::unique_ptr<Library> library;
};

}  // namespace kx7::test
