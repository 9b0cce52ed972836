#pragma once

// A loop device over an image file, for tests that need a real block device.
// Partition scanning is on, and the device detaches itself when the last
// descriptor on it closes, so a test that dies leaves nothing attached.

#include <cstdint>
#include <memory>
#include <string>

namespace kx7::test {

class LoopDevice {
 public:
  // A loop device over a zero-filled image of `size` bytes at `image`; null,
  // with the reason in `why`, where the machine gives none (no loop devices,
  // no permission).
  static std::unique_ptr<LoopDevice> Create(const std::string& image, std::uint64_t size,
                                            std::string& why);
  // A loop device over an existing image.
  static std::unique_ptr<LoopDevice> Attach(const std::string& image, std::string& why);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  const std::string& name() const { return name_; }  // loop3
  const std::string& node() const { return node_; }  // /dev/loop3
  const std::string& image() const { return image_; }
  std::string partitionNode(unsigned number) const;  // /dev/loop3p1

  // Whether this kernel reads MBR partition tables: a loop device over an
  // image with one partition shows it. Probed once, in `folder`.
  static bool KernelReadsMbrTables(const std::string& folder);

 private:
  LoopDevice(int fd, std::string name, std::string image)
      : fd_(fd), name_(std::move(name)), node_("/dev/" + name_), image_(std::move(image)) {}
  int fd_;
  std::string name_;
  std::string node_;
  std::string image_;
};

}  // namespace kx7::test
