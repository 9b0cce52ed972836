#pragma once

// A loop device standing in for the updater's disk: block I/O, locks and
// layouts go through the real Linux backend to the loop device, while the
// SCSI commands sent on its handles are answered by a simulated player, as
// the updater's firmware would answer them. The library can then find, open
// and lock the loop device as the updater and write its data drive.

#include <set>
#include <string>

#include "platform/system.h"
#include "platform/volume_io.h"
#include "sim/player/player.h"

namespace kx7::test {

class LoopPlayerVolumes final : public platform::VolumeIo {
 public:
  // `letter`: the loop device's drive letter on `real`.
  LoopPlayerVolumes(platform::VolumeIo& real, sim::Player& player, char letter)
      : real_(real), player_(player), letter_(letter) {}

  std::uint32_t logicalDriveMask() override { return real_.logicalDriveMask(); }
  platform::DriveType driveType(std::string_view root) override { return real_.driveType(root); }
  std::string fileSystemName(std::string_view root) override { return real_.fileSystemName(root); }
  platform::Handle openDevice(std::string_view path) override;
  void closeHandle(platform::Handle handle) override;
  bool scsiPassThrough(platform::Handle handle, std::span<std::uint8_t> request) override;
  bool lockVolume(platform::Handle h) override { return real_.lockVolume(h); }
  bool unlockVolume(platform::Handle h) override { return real_.unlockVolume(h); }
  bool dismountVolume(platform::Handle h) override { return real_.dismountVolume(h); }
  bool driveGeometry(platform::Handle h, platform::DiskGeometry& g) override {
    return real_.driveGeometry(h, g);
  }
  bool deleteDriveLayout(platform::Handle h) override { return real_.deleteDriveLayout(h); }
  bool setDriveLayout(platform::Handle h, std::span<const std::uint8_t> layout) override {
    return real_.setDriveLayout(h, layout);
  }
  bool readAt(platform::Handle h, std::uint64_t offset, std::span<std::uint8_t> out) override {
    return real_.readAt(h, offset, out);
  }
  bool writeAt(platform::Handle h, std::uint64_t offset,
               std::span<const std::uint8_t> data) override {
    return real_.writeAt(h, offset, data);
  }

 private:
  platform::VolumeIo& real_;
  sim::Player& player_;
  char letter_;
  std::set<std::uintptr_t> loopHandles_;
};

// Waits pass at once.
class NoWaitClock final : public platform::Clock {
 public:
  void sleep(std::uint32_t milliseconds) override { slept += milliseconds; }
  std::uint64_t slept = 0;
};

}  // namespace kx7::test
