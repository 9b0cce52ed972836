// The drive-image transfer path: a 32 MiB image written and read back
// through the library and the simulated player, next to a plain memcpy of
// the same bytes; and the library's own cost per 64 KiB command, on a
// device that takes every command at once.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "bench/bench_world.h"
#include "device/device_session.h"
#include "firmware/fw_component.h"
#include "firmware/image_table.h"
#include "media/drive_image.h"

namespace kx7::bench {
namespace {

constexpr std::size_t kImageBytes = 32u << 20;

ImageTable TableFor(const std::string& folder) {
  ImageTable images = MakeInitialImageTable();
  for (std::size_t row : image_row::kApplicationImages)
    images[row].FilePath = folder + "firmware.sb";
  return images;
}

// Moves `bytes` twice with memcpy (the reference for a write and a
// read-back of the same bytes); returns the milliseconds it took.
double MemcpyMs(std::vector<std::uint8_t>& from, std::vector<std::uint8_t>& to) {
  const auto start = std::chrono::steady_clock::now();
  std::memcpy(to.data(), from.data(), from.size());
  benchmark::DoNotOptimize(to.data());
  std::memcpy(from.data(), to.data(), from.size());
  benchmark::DoNotOptimize(from.data());
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Write and read-back of the image as the updates do it, per iteration,
// against a plain memcpy of the same bytes in the same run.
void TransferThroughSimulatedPlayer(benchmark::State& state) {
  auto world = MakeWorld(kImageBytes, sim::PlayerMode::Updater);
  const ImageTable images = TableFor(kFolder);
  DeviceSession session(world->services());
  if (!session.OpenByDriveLetter('E')) return state.SkipWithError("no updater at E:");
  const CStFwComponent component = LoadImageForTag(world->services().files, images, 0x50);
  std::vector<std::uint8_t> image;
  ReadImageFile(world->services().files, component, image);
  std::vector<std::uint8_t> readBack;
  std::vector<std::uint8_t> copy(image.size());
  double transferMs = 0;
  double memcpyMs = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!WriteDriveImage(session, 0x50, image) || !ReadDriveImage(session, images, 0x50, readBack))
      return state.SkipWithError("transfer failed");
    transferMs +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    world->transcript().clear();
    memcpyMs += MemcpyMs(image, copy);
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["transfer_ms"] = transferMs / n;
  state.counters["memcpy_ms"] = memcpyMs / n;
  state.counters["ratio_to_memcpy"] = transferMs / memcpyMs;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 * kImageBytes);
}
BENCHMARK(TransferThroughSimulatedPlayer)->Unit(benchmark::kMillisecond)->UseRealTime();

// A device that takes every pass-through at once and moves nothing: what
// is left is the library's own work per command.
class InstantDevice final : public platform::VolumeIo {
 public:
  std::uint32_t logicalDriveMask() override { return 0; }
  platform::DriveType driveType(std::string_view) override {
    return platform::DriveType::Removable;
  }
  std::string fileSystemName(std::string_view) override { return ""; }
  platform::Handle openDevice(std::string_view) override { return platform::Handle::fromValue(1); }
  void closeHandle(platform::Handle) override {}
  bool scsiPassThrough(platform::Handle, std::span<std::uint8_t>) override {
    ++commands;
    return true;
  }
  bool lockVolume(platform::Handle) override { return true; }
  bool unlockVolume(platform::Handle) override { return true; }
  bool dismountVolume(platform::Handle) override { return true; }
  bool driveGeometry(platform::Handle, platform::DiskGeometry&) override { return false; }
  bool deleteDriveLayout(platform::Handle) override { return false; }
  bool setDriveLayout(platform::Handle, std::span<const std::uint8_t>) override { return false; }
  bool readAt(platform::Handle, std::uint64_t, std::span<std::uint8_t>) override { return false; }
  bool writeAt(platform::Handle, std::uint64_t, std::span<const std::uint8_t>) override {
    return false;
  }
  std::uint64_t commands = 0;
};

// Writes (arg 0) or read-backs compared chunk by chunk as the verify does
// (arg 1), on the instant device.
void LibraryCostPer64KiBCommand(benchmark::State& state) {
  const bool reading = state.range(0) == 1;
  auto world = MakeWorld(kImageBytes, sim::PlayerMode::Updater);
  InstantDevice device;
  platform::Services services = world->services();
  platform::Services instant{device,         services.devices, services.hid,   services.registry,
                             services.shell, services.com,     services.files, services.system,
                             services.clock};
  const ImageTable images = TableFor(kFolder);
  DeviceSession session(instant);
  session.VolumeHandle = platform::Handle::fromValue(1);
  session.Drives.Insert({2, 1, 0x50, kImageBytes * 2, {0, 0, 0}, 2048});
  const CStFwComponent component = LoadImageForTag(services.files, images, 0x50);
  std::vector<std::uint8_t> image;
  ReadImageFile(services.files, component, image);
  std::vector<std::uint8_t> readBack;
  std::chrono::duration<double, std::micro> spent{0};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t total = 0;
    if (reading)
      ReadDriveImageChunks(
          session, images, 0x50, total,
          [&](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
            // The instant device moves no data: compare, and go on.
            benchmark::DoNotOptimize(std::equal(
                bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(offset)));
            return true;
          });
    else
      WriteDriveImage(session, 0x50, image);
    spent += std::chrono::steady_clock::now() - start;
  }
  session.DropHandle();
  state.SetLabel(reading ? "read-back" : "write");
  state.counters["commands"] =
      static_cast<double>(device.commands) / static_cast<double>(state.iterations());
  state.counters["us_per_command"] = spent.count() / static_cast<double>(device.commands);
  state.counters["limit_us"] = 20;
}
BENCHMARK(LibraryCostPer64KiBCommand)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kx7::bench

BENCHMARK_MAIN();
