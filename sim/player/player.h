#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/player/sparse_media.h"

namespace kx7::sim {

using Triple = std::array<std::uint16_t, 3>;

// One logical drive of the player's internal media.
struct SimDrive {
  std::uint8_t number = 0;
  std::uint8_t type = 0;
  std::uint8_t tag = 0;
  std::uint64_t sizeBytes = 0;
  std::uint32_t sectorSize = 2048;
  Triple productVersion = {0, 0, 0};    // drive info type 8
  Triple componentVersion = {0, 0, 0};  // drive info type 7
  std::uint8_t infoByte6 = 0;           // drive info type 6
  SparseMedia media;
};

enum class PlayerMode {
  Normal,       // player firmware, mass storage at its letter (kinds 3/4)
  RomRecovery,  // only the ROM's HID device (066F:3770)
  Updater,      // the updater, mass storage "MSC Recovery" at a letter (kind 5)
  Restarting,   // gone from the bus for a moment
  Unplugged,
};

const char* ToString(PlayerMode mode);

struct PlayerConfig {
  std::string serial = "0000KX7T4A2C19F0";
  char letter = 'E';
  char updaterLetter = 0;  // where the updater appears; 0: the player's letter
  int protocolVersion = 4;
  std::uint8_t mediaPresentFlag = 1;  // logical media info type 9
  std::uint8_t mediaType = 1;         // logical media info type 6
  std::uint16_t chipMajorRevId = 0x3780;
  std::uint16_t romRevId = 0x0003;
  // What the host reports for the data drive's file system while it holds
  // the one the player left the factory with (GetVolumeInformationA).
  std::string fileSystem = "FAT32";
  // The internal media the updater re-allocates. Every drive it allocates
  // takes whole 128 KiB erase blocks; a hidden or system drive asked for
  // with size 0 gets 1 MiB; the data drive asked for with size 0 takes what
  // the others leave. A table that does not fit, names a tag twice or asks
  // two data drives for the rest is refused with CHECK CONDITION. Drives are
  // numbered in the order of the table.
  std::uint64_t mediaBytes = 128ull * 1024 * 1024;
  PlayerMode initialMode = PlayerMode::Normal;
  // Delays of the life cycle (see leave()), on the clock of whoever carries
  // the player's traffic. They fit the library's fixed waits with room to
  // spare.
  std::uint32_t recoveryEntryDelayMs = 4000;  // reset to recovery -> ROM HID device
  std::uint32_t updaterStartDelayMs = 6000;   // updater downloaded -> "MSC Recovery" at a letter
  std::uint32_t rebootDelayMs = 3000;         // chip reset -> back on the bus
  std::uint16_t hidInputReportLength = 1025;
  std::uint16_t hidOutputReportLength = 1025;
};

// Why a player leaves the bus.
enum class Leaving {
  ResetToRecovery,    // its firmware took the reset into recovery
  ChipReset,          // the chip was reset
  UpdaterDownloaded,  // its ROM took a whole updater and starts it
  Unplugged,          // pulled out
};

// How a player that left comes back: in `mode`, `delayMs` after it left,
// unless something else befell it in between (it was plugged in, pulled
// out or left again: its generation moved on).
struct Arrival {
  PlayerMode mode = PlayerMode::Normal;
  std::uint32_t delayMs = 0;
  std::uint32_t generation = 0;
};

struct ScsiResult {
  bool good = true;  // false: CHECK CONDITION, no data moved
  // The command sends the player off the bus once it is answered.
  std::optional<Leaving> leaving;
};

// A simulated player: its identity, its internal media, the answers of its
// firmware, updater and ROM, and its life on the bus. It decodes the bytes
// it is sent with helpers of its own and knows nothing of the library: it
// is the oracle the library's wire format is checked against.
//
// The player owns its mode changes and their delays. Whoever carries its
// traffic - the simulated world on a virtual clock, the umockdev testbed,
// a USB device over usbredir in real time - tells it what happened (a
// command's `leaving`, a finished download, a plug or unplug) and applies
// the Arrival it answers on its own clock.
class Player {
 public:
  explicit Player(PlayerConfig config);

  // Comes up in `mode` now. A ROM recovery session starts afresh; in mass
  // storage the host mounts what the data drive's partition table says.
  void enter(PlayerMode mode);
  // The mode the boot ROM starts: the firmware if a firmware drive holds
  // one, else its recovery mode.
  PlayerMode powerOnMode() const;
  // Plugged in; with the recovery button held it comes up in ROM recovery
  // mode whatever its drives hold.
  void plugIn(bool recoveryButtonHeld = false);
  // Leaves the bus now for `why`: restarting (or unplugged), no longer
  // answering. Returns how it comes back; nothing when it was pulled out.
  std::optional<Arrival> leave(Leaving why);
  // Comes back as `arrival` says. False, and nothing changes, when its
  // generation moved on since it left.
  bool arrive(const Arrival& arrival);

  PlayerConfig config;
  PlayerMode mode = PlayerMode::Normal;
  char letter = 0;               // where it is mounted now, or 0
  std::uint32_t generation = 0;  // changes whenever it leaves the bus
  std::vector<SimDrive> drives;
  // Files in the root of the data drive's file system, by upper-case name.
  std::map<std::string, std::vector<std::uint8_t>> rootFiles;
  // Whether the data drive still holds the file system it left the factory
  // with; once the updater erases or re-allocates it, what the host sees is
  // read from the drive's own sectors.
  bool factoryFileSystem = true;
  // The partition the host mounts as the data drive's volume: where its
  // first sector lies on the drive and how long it is.
  struct Partition {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
  };
  std::optional<Partition> partition;
  // Whether the host takes the disk for a partitioned one. A disk without a
  // partition table (erased, its layout deleted, or one file system from its
  // first sector) is one volume, the whole disk; a table that holds no
  // partition leaves the disk without a volume, as on Windows.
  bool partitioned = false;
  // Whether the host offers a volume at the player's letter.
  bool hasVolume() const { return !partitioned || partition.has_value(); }
  // Optional raw logical-table answer: entries as the device reports them
  // (11 bytes each) and the count it announces.
  std::optional<std::pair<std::uint16_t, std::vector<std::uint8_t>>> logicalTableOverride;
  // Commands and downloads seen, for tests.
  std::uint32_t resetToRecoveryCount = 0;
  std::uint32_t chipResetCount = 0;

  SimDrive* driveByNumber(std::uint8_t number);
  SimDrive* driveByTag(std::uint8_t tag);
  const SimDrive* driveByTag(std::uint8_t tag) const;

  // Whether the firmware drives hold an image the boot ROM would start.
  bool hasBootableFirmware() const;
  // The version the running firmware reports: drive 0x50's type-8 triple.
  Triple firmwareVersion() const;

  bool answersScsi() const { return mode == PlayerMode::Normal || mode == PlayerMode::Updater; }
  // The drive the host sees as the disk: the data drive.
  SimDrive* dataDrive() { return driveByTag(0x0A); }
  const SimDrive* dataDrive() const { return driveByTag(0x0A); }

  // The volume's file system as the host names it ("FAT", "FAT32"), or ""
  // when the volume holds none the host would mount.
  std::string fileSystemName() const;
  // Whether the data drive's first sector holds a partition table, and the
  // first partition it describes.
  bool hasPartitionTable() const;
  std::optional<Partition> partitionInTable() const;
  // Mounts what the partition table describes, as the host does when the
  // disk arrives.
  void readPartitionTable();
  // The data drive lost its file system: its root files go with it.
  void dropFileSystem();

  // Executes one command: `cdb` as sent, `dataIn` as the request's direction
  // flag, `data` the request's data area (response or payload).
  ScsiResult execute(std::span<const std::uint8_t> cdb, bool dataIn, std::span<std::uint8_t> data);

  // ROM recovery: one HID output report. Returns true when this report
  // completed a download of a valid image.
  bool receiveHidReport(std::span<const std::uint8_t> report);
  // What the ROM collected of the current or last download.
  const std::vector<std::uint8_t>& receivedImage() const { return hidImage_; }
  std::uint32_t hidReportsReceived() const { return hidReports_; }
  bool hidProtocolError() const { return hidError_; }
  void resetHidDownload();

 private:
  ScsiResult vendorIn(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data);
  ScsiResult vendorOut(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data);
  void inquiry(std::span<std::uint8_t> data) const;
  bool allocate(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> payload);

  // ROM download state.
  std::optional<std::uint32_t> hidExpected_;
  std::vector<std::uint8_t> hidImage_;
  std::uint32_t hidReports_ = 0;
  bool hidError_ = false;
};

// The drives a player leaves the factory with, each firmware drive holding
// `firmware` stamped with the given versions.
std::vector<SimDrive> FactoryDrives(const std::vector<std::uint8_t>& firmware, Triple product,
                                    Triple component);

// Whether `image` begins like an SB boot image.
bool LooksLikeSbImage(std::span<const std::uint8_t> image);

}  // namespace kx7::sim
