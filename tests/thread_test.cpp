// Many threads of a host application calling the library at once: of the
// guarded exports exactly one proceeds at a time and the others get the busy
// code, while the unguarded ones answer throughout. Run under
// ThreadSanitizer by the tsan preset.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "kx7fw/kx7fw.h"
#include "sim/scenario/default_scenario.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

using sim::DefaultScenario;

constexpr int kContenders = 6;

// The simulated host's file system, with a gate: the operation that gets
// through the library's guard holds at its first file open until every
// other contender of the round has had its answer. So the contenders always
// overlap the one that proceeds, however the threads are scheduled; if two
// ever proceeded, neither would see all the others answered.
class GatedFiles final : public platform::FileSystem {
 public:
  explicit GatedFiles(platform::FileSystem& real) : real_(real) {}

  void StartRound() {
    std::lock_guard lock(mutex_);
    answered_ = 0;
    gateTaken_ = false;
  }
  void Answered() {
    std::lock_guard lock(mutex_);
    ++answered_;
    changed_.notify_all();
  }
  int timeouts() const { return timeouts_.load(); }

  std::string modulePath() override { return real_.modulePath(); }
  bool createDirectory(std::string_view path) override { return real_.createDirectory(path); }
  bool copyFileNoOverwrite(std::string_view from, std::string_view to) override {
    return real_.copyFileNoOverwrite(from, to);
  }
  bool pathExists(std::string_view path) override { return real_.pathExists(path); }
  std::unique_ptr<platform::InputFile> openForReading(std::string_view path,
                                                      platform::OpenMode mode) override {
    std::unique_lock lock(mutex_);
    if (!gateTaken_) {
      gateTaken_ = true;
      // Generous: only a broken guard makes this wait end by time.
      if (!changed_.wait_for(lock, std::chrono::seconds(60),
                             [&] { return answered_ >= kContenders - 1; }))
        ++timeouts_;
    }
    lock.unlock();
    return real_.openForReading(path, mode);
  }

 private:
  platform::FileSystem& real_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int answered_ = 0;
  bool gateTaken_ = false;
  std::atomic<int> timeouts_{0};
};

class ThreadTest : public ::testing::Test {
 protected:
  ThreadTest() { sim::BuildDefaultScenario(world); }

  // kContenders threads call `guarded` at once; returns how many proceeded
  // (answered `proceeded`) and checks every other answer is `busy`.
  int Round(const std::function<int()>& guarded, int proceeded, int busy) {
    files.StartRound();
    std::atomic<int> through{0};
    std::atomic<int> refused{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kContenders; ++i)
      threads.emplace_back([&] {
        ++ready;
        while (ready.load() < kContenders) std::this_thread::yield();
        const int result = guarded();
        if (result == proceeded) {
          ++through;
        } else {
          EXPECT_EQ(result, busy);
          ++refused;
          files.Answered();
        }
      });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(through.load() + refused.load(), kContenders);
    return through.load();
  }

  sim::World world;
  platform::Services real = world.services();
  GatedFiles files{real.files};
  Library library{platform::Services{real.volumes, real.devices, real.hid, real.registry,
                                     real.shell, real.com, files, real.system, real.clock}};
  const char* kFolder = DefaultScenario::kFirmwareFolder;
};

TEST_F(ThreadTest, OneGuardedCallProceedsAtATimeWhileUnguardedOnesAnswer) {
  // Unguarded exports, called over and over while the rounds run.
  std::atomic<bool> stop{false};
  std::atomic<int> unguardedCalls{0};
  std::vector<std::thread> bystanders;
  for (int i = 0; i < 2; ++i)
    bystanders.emplace_back([&] {
      char list[26];
      char id[128];
      while (!stop.load()) {
        EXPECT_GE(library.MSCDeviceList(list), 0);
        const int serial = library.DeviceSerialNum(id, 0);
        EXPECT_TRUE(serial == 0 || serial == 1);
        EXPECT_EQ(library.Detect_HID("HID#VID_066F&PID_3770"), 0);
        const int mode = library.ChangeUSBMode();
        EXPECT_TRUE(mode == 1 || mode == 3);
        ++unguardedCalls;
      }
    });

  for (int round = 0; round < 20; ++round) {
    char version[16];
    EXPECT_EQ(
        Round([&] { return library.GetLocalVersion(kFolder, version, sizeof version); }, 0, 3), 1);
  }
  DeviceInfo info;
  EXPECT_EQ(Round([&] { return library.GetDeviceInfo(DefaultScenario::kSerial, &info); }, 0, 3), 1);
  EXPECT_EQ(Round([&] { return library.NeedRecovery(DefaultScenario::kSerial, kFolder); }, 1, 3),
            1);
  // A whole update while the others are refused and the bystanders keep
  // asking for the players.
  EXPECT_EQ(Round([&] { return library.DoNormalUpdate(DefaultScenario::kSerial, kFolder); }, 0, 3),
            1);

  stop = true;
  for (std::thread& t : bystanders) t.join();
  EXPECT_EQ(files.timeouts(), 0);
  EXPECT_GT(unguardedCalls.load(), 0);
  EXPECT_FALSE(library.Busy());
  world.sleep(10000);
  EXPECT_EQ(library.GetDeviceInfo(DefaultScenario::kSerial, &info), 0);
  EXPECT_STREQ(info.FirmwareVersion, "2.03");
}

}  // namespace
}  // namespace kx7::test
