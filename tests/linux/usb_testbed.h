#pragma once

// A Linux machine's device tree in a umockdev testbed, with simulated
// players plugged into it. The unmodified Linux backend enumerates the tree
// through libudev; its SG_IO on a player's generic node and its writes to
// the ROM's hidraw node reach a sim::Player, which answers the bytes it is
// sent. Players change mode (leave for recovery, come back as the updater,
// reboot) as sim::Player says, on a virtual clock, as the library's waits
// pass.
//
// The test binary runs with libumockdev-preload.so first in LD_PRELOAD.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/system.h"
#include "sim/player/player.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace kx7::test {

class UsbTestbed : public platform::Clock {
 public:
  UsbTestbed();
  ~UsbTestbed() override;
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // Whether the umockdev preload library is active in this process.
  static bool Available();

  // Plugs a player in, in its configured initial mode; returns its index.
  std::size_t addPlayer(sim::PlayerConfig config, std::vector<sim::SimDrive> drives);
  sim::Player& player(std::size_t index) { return *players_.at(index)->model; }
  // Another maker's USB flash disk: answers INQUIRY, refuses vendor commands.
  void addForeignDisk(const std::string& serial);
  // A USB keyboard with its hidraw node.
  void addKeyboard();

  void unplug(std::size_t index);
  // From the nth SCSI command the player receives in `mode` (counted from 1
  // after this call) on, its generic node fails SG_IO with ENODEV, as when
  // it is pulled out.
  void failScsiFrom(std::size_t index, sim::PlayerMode mode, unsigned nth);

  // The virtual clock: sleeping lets the players' pending changes happen.
  void sleep(std::uint32_t milliseconds) override;
  std::uint64_t now() const { return now_; }

  // Where the testbed keeps a node such as "/dev/sdb".
  std::string testbedPath(const std::string& node) const;
  // Nodes and numbers of the player's current appearance.
  std::string blockNode(std::size_t index) const;
  std::string sgNode(std::size_t index) const;
  std::string hidrawNode(std::size_t index) const;
  dev_t partitionDevnum(std::size_t index) const;
  dev_t diskDevnum(std::size_t index) const;
  // The number the nth disk to appear (from 0) gets for its first partition.
  static dev_t PartitionDevnumOfDisk(unsigned nth);

  // The ROM's report descriptor: vendor page, output reports 1 and 2 of
  // 1024 bytes, input report 3 of 13 bytes.
  static std::vector<std::uint8_t> RomReportDescriptor();

 private:
  enum class NodeKind { PlayerScsi, PlayerHid, ForeignScsi, KeyboardHid };
  struct NodeContext {
    UsbTestbed* bed;
    NodeKind kind;
    std::size_t player;
    std::uint32_t generation;
  };
  struct Appearance {
    std::vector<std::string> syspaths;  // added in this order
    std::string blockNode, sgNode, hidrawNode;
    dev_t disk = 0, partition = 0;
  };
  struct PlayerSlot {
    std::unique_ptr<sim::Player> model;
    Appearance appearance;
    unsigned scsiCommands = 0;
    unsigned failFrom = 0;  // 0: never
    sim::PlayerMode failMode = sim::PlayerMode::Normal;
  };
  struct Scheduled {
    std::uint64_t at;
    std::function<void()> action;
  };
  // A player that left the bus on umockdev's thread, and how it comes back.
  struct Departure {
    std::size_t player;
    std::optional<sim::Arrival> arrival;
  };

  // Puts the player's current appearance on the bus (its nodes, attached).
  void show(std::size_t index);
  // The player leaves the bus now (under mutex_).
  void leave(std::size_t index, sim::Leaving why);
  void removeAppearance(Appearance& appearance);
  Appearance addMassStorage(const std::string& vendorId, const std::string& productId,
                            const std::string& serial, const std::string& scsiVendor,
                            const std::string& scsiModel, const std::string& scsiRevision,
                            std::uint64_t sizeBytes, bool partitioned);
  Appearance addHidDevice(const std::string& vendorId, const std::string& productId);
  void attach(const std::string& node, NodeContext context);
  void applyChanges();

  static int OnIoctl(void* handler, void* client, void* context);
  static int OnWrite(void* handler, void* client, void* context);
  bool scsiIoctl(const NodeContext& context, void* client);
  bool hidIoctl(const NodeContext& context, void* client);
  bool hidWrite(const NodeContext& context, void* client);

  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
  std::vector<std::unique_ptr<PlayerSlot>> players_;
  std::vector<std::unique_ptr<NodeContext>> contexts_;
  std::vector<void*> handlers_;
  std::vector<Appearance> others_;
  std::vector<Scheduled> scheduled_;
  std::uint64_t now_ = 0;

  // Shared with umockdev's worker thread, which runs the node handlers.
  std::mutex mutex_;
  std::vector<Departure> departures_;

  // Numbering of what appears on the bus.
  unsigned nextUsbPort_ = 1;
  unsigned nextScsiHost_ = 6;
  unsigned nextDisk_ = 0;
  unsigned nextSg_ = 1;
  unsigned nextHidraw_ = 0;
  std::uint64_t nextDiskseq_ = 40;
};

}  // namespace kx7::test
