// The library's frame: the version and mode exports, Detect_HID, the player
// count of MSCDeviceList, and the busy guard every guarded export takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/busy_guard.h"
#include "api/library.h"
#include "sim/world.h"
#include "support/sim_fixture.h"

namespace kx7 {
namespace {

using sim::EventKind;

class LibraryFrame : public test::SimFixture {
 protected:
  sim::Player& AddPlayer(char letter, sim::PlayerConfig config = {}) {
    config.letter = letter;
    config.serial = std::string("0000KX7T4A2C19") + letter;
    sim::Player& p = world.addPlayer(std::move(config));
    p.drives = sim::FactoryDrives(std::vector<std::uint8_t>(2048, 0x5A), {2, 3, 14}, {2, 3, 7});
    return p;
  }
};

// --- Version and mode exports ---------------------------------------------------------

TEST_F(LibraryFrame, VersionTexts) {
  const struct {
    std::function<int(Library&, char*)> call;
    const char* text;
  } cases[] = {
      {[](Library& l, char* out) { return l.GetFWLibraryVersion(out); }, "000.000.001.002"},
      {[](Library& l, char* out) { return l.GetAPIVersion(out); }, "000.000.000.006"},
  };
  for (const auto& c : cases) {
    char out[30];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(c.call(library, out), 0);
    EXPECT_EQ(std::string(out, 16), std::string(c.text, 16)) << c.text;  // with its terminator
    EXPECT_FALSE(library.Busy());
  }
  EXPECT_TRUE(world.transcript().events().empty());
}

TEST_F(LibraryFrame, ModeExportsWhileIdle) {
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(library.ChangeUSBMode(), 1);
    EXPECT_FALSE(library.Busy());
    EXPECT_EQ(library.ResetChipset(), 0);
    EXPECT_FALSE(library.Busy());
  }
  EXPECT_TRUE(world.transcript().events().empty());
}

// --- Detect_HID -----------------------------------------------------------------------

TEST_F(LibraryFrame, DetectHidAcceptsAnythingAndDoesNothing) {
  EXPECT_EQ(library.Detect_HID(nullptr), 0);
  EXPECT_EQ(library.Detect_HID(""), 0);
  EXPECT_EQ(library.Detect_HID("HID#VID_066F&PID_3770"), 0);
  EXPECT_EQ(library.Detect_HID("\\\\?\\hid#vid_066f&pid_3770#6&2c4a7b1f&0&0000#{4d1e55b2}"), 0);
  EXPECT_FALSE(library.Busy());
  EXPECT_TRUE(world.transcript().events().empty());
}

TEST_F(LibraryFrame, DetectHidReadsNoMoreThan21Bytes) {
  // The fragment fills the allocation exactly, with no terminator: a read of
  // a 22nd byte leaves the block.
  constexpr char kFragment[] = "HID#VID_066F&PID_3770";
  static_assert(sizeof kFragment - 1 == 21);
  const auto pattern = std::make_unique<char[]>(21);
  std::memcpy(pattern.get(), kFragment, 21);
  EXPECT_EQ(library.Detect_HID(pattern.get()), 0);

  // Shorter, terminated, at the end of its block too.
  const auto shortPattern = std::make_unique<char[]>(4);
  std::memcpy(shortPattern.get(), "HID", 4);
  EXPECT_EQ(library.Detect_HID(shortPattern.get()), 0);
}

// --- MSCDeviceList ---------------------------------------------------------------------

class DeviceListCount;

struct ListCase {
  const char* name;
  std::function<void(DeviceListCount&)> arrange;
  int expected;
};

class DeviceListCount : public LibraryFrame, public ::testing::WithParamInterface<ListCase> {
 public:
  using LibraryFrame::AddPlayer;
  sim::World& World() { return world; }
};

std::ostream& operator<<(std::ostream& os, const ListCase& c) {
  return os << c.name;
}

const ListCase kListCases[] = {
    {"NoPlayer", [](DeviceListCount&) {}, 0},
    {"PlayerAtE", [](DeviceListCount& d) { d.AddPlayer('E'); }, 1},
    {"PlayerAtB", [](DeviceListCount& d) { d.AddPlayer('B'); }, 1},
    {"PlayerAtZ", [](DeviceListCount& d) { d.AddPlayer('Z'); }, 1},
    {"PlayerAtA", [](DeviceListCount& d) { d.AddPlayer('A'); }, 0},
    {"TwoPlayers",
     [](DeviceListCount& d) {
       d.AddPlayer('E');
       d.AddPlayer('G');
     },
     2},
    {"FixedAndForeignDrives",
     [](DeviceListCount& d) {
       d.World().addHostDrive('D', platform::DriveType::CdRom, "CDFS");
       d.World().addHostDrive('F', platform::DriveType::Fixed);
       d.World().addHostDrive('H', platform::DriveType::Removable, "FAT");
       d.World().addHostDrive('N', platform::DriveType::Remote);
     },
     0},
    {"PlayerAmongForeignDrives",
     [](DeviceListCount& d) {
       d.World().addHostDrive('D', platform::DriveType::CdRom, "CDFS");
       d.World().addHostDrive('H', platform::DriveType::Removable, "FAT");
       d.AddPlayer('K');
     },
     1},
    {"UpdaterMode",
     [](DeviceListCount& d) {
       sim::PlayerConfig c;
       c.initialMode = sim::PlayerMode::Updater;
       d.AddPlayer('E', c);
     },
     0},
    {"RomRecoveryMode",
     [](DeviceListCount& d) {
       sim::PlayerConfig c;
       c.initialMode = sim::PlayerMode::RomRecovery;
       d.AddPlayer('E', c);
     },
     0},
    {"Protocol2Player",
     [](DeviceListCount& d) {
       sim::PlayerConfig c;
       c.protocolVersion = 2;
       d.AddPlayer('E', c);
     },
     0},
    {"PlayerWithoutMedia",
     [](DeviceListCount& d) {
       sim::PlayerConfig c;
       c.mediaPresentFlag = 0;
       d.AddPlayer('E', c);
     },
     0},
    {"PlayerAndUpdater",
     [](DeviceListCount& d) {
       d.AddPlayer('E');
       sim::PlayerConfig c;
       c.initialMode = sim::PlayerMode::Updater;
       d.AddPlayer('F', c);
     },
     1},
};

TEST_P(DeviceListCount, CountsPlayersInNormalMode) {
  GetParam().arrange(*this);
  world.transcript().clear();
  char list[26];
  std::memset(list, 'x', sizeof list);
  EXPECT_EQ(library.MSCDeviceList(list), GetParam().expected);
  // No drive letter chosen yet.
  EXPECT_EQ(list[0], '\0');
  EXPECT_FALSE(library.Busy());

  // Every handle opened was closed again; nothing was locked.
  std::size_t opened = 0;
  for (const auto& e : Events(EventKind::Open)) {
    if (e.ok) ++opened;
    EXPECT_NE(e.target, "\\\\.\\A:");
  }
  EXPECT_EQ(Events(EventKind::Close).size(), opened);
  EXPECT_TRUE(Events(EventKind::Lock).empty());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DeviceListCount, ::testing::ValuesIn(kListCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LibraryFrame, DeviceListVisitsPresentLettersInOrder) {
  AddPlayer('G');
  AddPlayer('E');
  world.addHostDrive('H', platform::DriveType::Removable, "FAT");
  world.addHostDrive('F', platform::DriveType::Fixed);
  world.transcript().clear();
  EXPECT_EQ(library.MSCDeviceList(nullptr), 2);
  std::vector<std::string> opened;
  for (const auto& e : Events(EventKind::Open)) opened.push_back(e.target);
  // C: and F: are fixed and never opened.
  EXPECT_EQ(opened, (std::vector<std::string>{"\\\\.\\E:", "\\\\.\\G:", "\\\\.\\H:"}));
}

TEST_F(LibraryFrame, DeviceListToleratesANullList) {
  AddPlayer('E');
  EXPECT_EQ(library.MSCDeviceList(nullptr), 1);
  EXPECT_EQ(library.CurrentDriveLetter(), 0);
}

TEST_F(LibraryFrame, DeviceListAfterAPlayerLeft) {
  AddPlayer('E');
  AddPlayer('G');
  char list[26];
  EXPECT_EQ(library.MSCDeviceList(list), 2);
  world.unplug(1, Now());
  EXPECT_EQ(library.MSCDeviceList(list), 1);
}

// --- The busy guard -----------------------------------------------------------------------

TEST(BusyGuard, RefusedGuardLeavesTheFlagToItsOwner) {
  std::atomic<bool> flag{false};
  {
    BusyGuard owner(flag);
    ASSERT_TRUE(owner.acquired());
    {
      BusyGuard second(flag);
      EXPECT_FALSE(second.acquired());
    }
    EXPECT_TRUE(flag.load());
    BusyGuard third(flag);
    EXPECT_FALSE(third.acquired());
  }
  EXPECT_FALSE(flag.load());
  BusyGuard again(flag);
  EXPECT_TRUE(again.acquired());
}

// A latch on a mutex and a condition variable: std::latch of the mingw-w64
// runtime now and then missed its wake-up under Wine, and the test hung.
class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void CountDown() {
    std::lock_guard lock(mutex_);
    if (--count_ == 0) reached_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    reached_.wait(lock, [&] { return count_ <= 0; });
  }
  void ArriveAndWait() {
    CountDown();
    Wait();
  }

 private:
  std::mutex mutex_;
  std::condition_variable reached_;
  int count_;
};

TEST(BusyGuard, SecondThreadIsRefusedWhileTheFirstHoldsIt) {
  std::atomic<bool> flag{false};
  Latch held(1);
  Latch tried(1);
  bool firstAcquired = false;
  bool secondAcquired = true;
  std::thread first([&] {
    BusyGuard guard(flag);
    firstAcquired = guard.acquired();
    held.CountDown();
    tried.Wait();  // hold until the other thread has tried
  });
  std::thread second([&] {
    held.Wait();
    BusyGuard guard(flag);
    secondAcquired = guard.acquired();
    tried.CountDown();
  });
  first.join();
  second.join();
  EXPECT_TRUE(firstAcquired);
  EXPECT_FALSE(secondAcquired);
  EXPECT_FALSE(flag.load());
}

// Threads try in lockstep: each round opens for all of them at the same
// instant and the winner holds on until every thread has tried, so every
// round has exactly one winner. A test followed by a separate set lets two
// through now and then.
TEST(BusyGuard, ExactlyOneWinnerWhenAllTryAtOnce) {
  const int threadCount = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  constexpr int kRounds = 20000;
  std::atomic<bool> flag{false};
  std::atomic<int> arrived{0};
  std::atomic<int> tried{0};
  std::atomic<int> round{-1};
  std::vector<std::atomic<int>> winners(kRounds);
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        if (t == 0) {
          while (arrived.load() != threadCount - 1) std::this_thread::yield();
          arrived.store(0);
          tried.store(0);
          round.store(r);
        } else {
          arrived.fetch_add(1);
          while (round.load() != r) {
            // Spin: the round must start for all threads at once.
          }
        }
        BusyGuard guard(flag);
        if (guard.acquired()) winners[static_cast<std::size_t>(r)].fetch_add(1);
        tried.fetch_add(1);
        while (tried.load() < threadCount) std::this_thread::yield();
      }
    });
  }
  for (auto& t : threads) t.join();
  int roundsWithoutOneWinner = 0;
  for (const auto& w : winners) roundsWithoutOneWinner += w.load() != 1;
  EXPECT_EQ(roundsWithoutOneWinner, 0);
  EXPECT_FALSE(flag.load());
}

TEST(BusyGuard, AtMostOneHolderUnderContention) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 4000;
  std::atomic<bool> flag{false};
  std::atomic<int> holders{0};
  std::atomic<int> mostHolders{0};
  std::atomic<int> acquisitions{0};
  Latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      start.ArriveAndWait();
      for (int i = 0; i < kRounds; ++i) {
        BusyGuard guard(flag);
        if (!guard.acquired()) continue;
        const int now = holders.fetch_add(1) + 1;
        int most = mostHolders.load();
        while (now > most && !mostHolders.compare_exchange_weak(most, now)) {
        }
        acquisitions.fetch_add(1);
        std::this_thread::yield();
        holders.fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mostHolders.load(), 1);
  EXPECT_GT(acquisitions.load(), 0);
  EXPECT_FALSE(flag.load());
}

}  // namespace
}  // namespace kx7
