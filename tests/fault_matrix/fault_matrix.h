#pragma once

// The fault matrix: for each operation a host application runs, each step it
// takes with the player and the host, each fault that can strike there, the
// code the host must get and what the player and the host are left with.
// One table feeds both the generated tests and docs/fault-matrix.md.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/player/player.h"
#include "sim/scenario/scenario_json.h"

namespace kx7::matrix {

enum class Operation {
  MSCDeviceList,
  GetDeviceInfo,
  NeedRecovery,
  DoNormalUpdate,
  DoRecoveryUpdate
};

// The world a row starts from.
enum class Scenario {
  Default,               // Windows 7, the player at E: running 1.01, firmware 2.03 in the folder
  PlayerInRecovery,      // the same player, its settings backed up, plugged in in ROM recovery mode
  PlayerInRecoveryOnXP,  // the same on Windows XP
  BigFirmware,           // the folder's firmware (3 MiB) no longer fits the player's 2 MiB drive
  ManyHidDevices,        // 70 more HID interfaces listed before the ROM's; player in ROM recovery
  PlayerOnY,             // the player mounted at Y:
  PlayerOnZ,             // the player mounted at Z:
  WindowsXP,             // the default world on Windows XP
  AfterFailedUpdate,  // an update failed its verify (the updater still held), then the player was
                      // unplugged and plugged back in
};

enum class FaultKind {
  None,
  NotDelivered,      // SCSI: the pass-through call fails
  CheckCondition,    // SCSI: delivered, answered CHECK CONDITION, no data moved
  Altered,           // SCSI: answered GOOD with other bytes at `offset`
  Short,             // SCSI: answered GOOD with only `count` bytes of data
  Gone,              // the player is unplugged as the nth matching call is made
  LocksRefused,      // `count` lock attempts refused, after `nth - 1` that worked
  UnlocksRefused,    // the same for unlocks
  DismountsRefused,  // the same for dismounts
  ReadBackCorrupt,   // reads of drive `tag` come back with the byte at `offset` flipped
  RawReadCorrupt,    // raw reads of the data drive come back with the byte at `offset` flipped
  HidEnumErrors,     // HID interfaces `nth` to `count` fail to enumerate, but for `except`
  HidDetail,         // the detail of HID interface `nth` cannot be read
  HidSet,            // the HID interface list cannot be had
  HidOpen,           // the ROM's HID device does not open
  HidCaps,           // its capabilities cannot be read
  HidCapsStatus,     // HidP_GetCaps reports a failure status
  HidReport,         // the nth output report is not written
  FileOpen,          // `path` does not open, from its nth open on
  FileReadsShort,    // `path` yields only `count` bytes although its size says more
  FileShrinks,       // from its nth open on, `path` holds only `count` bytes
  FileCopy,          // copying to `path` fails
  RegistryOpen,      // keys whose path contains `path` do not open
  RegistryQuery,     // values named `path` cannot be read
  RegistryCreate,    // keys whose path contains `path` cannot be created
  RegistryWrite,     // values under keys whose path contains `path` cannot be written
  Geometry,          // IOCTL_DISK_GET_DRIVE_GEOMETRY fails
  SetLayout,         // IOCTL_DISK_SET_DRIVE_LAYOUT fails
  DeleteLayout,      // IOCTL_DISK_DELETE_DRIVE_LAYOUT fails
  DeviceList,        // the list of present devices cannot be had
};

// The call a Gone fault strikes at.
enum class Call { Scsi, HidReport, Lock, DriveScan, RawWrite };

struct Fault {
  FaultKind kind = FaultKind::None;
  Call call = Call::Scsi;
  std::string cdb;  // hex prefix of the CDBs a SCSI rule counts
  std::uint32_t nth = 1;
  std::uint32_t count = 0;
  std::uint32_t offset = 0;
  std::string bytes;  // hex
  std::string path;
  std::uint8_t tag = 0;
  std::uint32_t except = UINT32_MAX;
};

// What a drive holds, judged over the firmware's length.
enum class Content {
  Old,      // the firmware the player left the factory with (drives 0x50 to 0x70)
  New,      // the file in the folder (the firmware, or for 0xA0 the bootlet)
  Erased,   // erased flash only
  Partial,  // anything else: a write that stopped part way
  Missing,  // the player has no such drive
};

// What a row leaves behind once the player has settled.
struct Left {
  sim::PlayerMode mode = sim::PlayerMode::Normal;
  // Drives 0x50, 0x60, 0x70 and 0xA0.
  std::array<Content, 4> drives = {Content::Old, Content::Old, Content::Old, Content::Erased};
  // The version drive 0x50 reports ("%d.%02d"), "-" without that drive.
  std::string version = "1.01";
  bool held = false;  // the library still holds the updater, open and locked
  // Files in the root of the player's data drive, sorted.
  std::string playerFiles = "DEVDIVERSITY.INI PERSIST.BIN";
  // Files in the host's backup folder for the player, sorted.
  std::string backup;
  // GetDeviceInfo: "Mode Letter FirmwareVersion Region" of the record, "-"
  // for an empty field. MSCDeviceList: the list it wrote.
  std::string record;
};

struct Row {
  Operation operation;
  Scenario scenario;
  std::string step;  // where in the operation the fault strikes
  Fault fault;
  int result;  // the code the export returns (MSCDeviceList: the count)
  Left left;
};

// The fault as a scenario file writes it - one entry of its "faults" list -
// which is how a row puts it in place: through the scenario loader, so that
// the matrix speaks the scenario files' language and exercises their loader.
// Null for no fault, and for a player pulled out as a call is made, which a
// scenario file cannot say (its unplug is at a virtual time): the row's run
// does that itself.
sim::scenario::Json ScenarioEntry(const Fault& fault);

// Every row, grouped by operation.
const std::vector<Row>& FaultMatrix();

std::vector<Row> QueryRows();
std::vector<Row> NormalUpdateRows();
std::vector<Row> RecoveryUpdateRows();

// Codes the export may return at all.
std::vector<int> CodesOf(Operation operation);

// The error a failed device list reports (ERROR_ACCESS_DENIED).
inline constexpr std::uint32_t kDeviceListError = 5;

// The player's serial and letter in every scenario but PlayerOnY/Z.
inline constexpr const char* kSerial = "0000KX7T4A2C19F0";
std::string FirmwareFolder();
std::string BackupFolder();

// Fault builders, for the tables.
Fault NotDelivered(std::string cdb, std::uint32_t nth);
Fault CheckCondition(std::string cdb, std::uint32_t nth);
Fault Altered(std::string cdb, std::uint32_t nth, std::uint32_t offset, std::string bytes);
Fault Short(std::string cdb, std::uint32_t nth, std::uint32_t keep);
Fault GoneAtCommand(std::string cdb, std::uint32_t nth);
Fault GoneAt(Call call, std::uint32_t nth);
Fault LocksRefused(std::uint32_t count, std::uint32_t fromAttempt = 1);
Fault UnlocksRefused(std::uint32_t count, std::uint32_t fromAttempt = 1);
Fault DismountsRefused(std::uint32_t count);
Fault ReadBackCorrupt(std::uint8_t tag, std::uint32_t offset);
Fault RawReadCorrupt(std::uint32_t offset);
Fault HidEnumErrors(std::uint32_t first, std::uint32_t last, std::uint32_t except = UINT32_MAX);
Fault Simple(FaultKind kind, std::uint32_t nth = 1);
Fault FileOpen(std::string path, std::uint32_t fromOpen = 1);
Fault FileReadsShort(std::string path, std::uint32_t bytes);
Fault FileShrinks(std::string path, std::uint32_t bytes, std::uint32_t fromOpen);
Fault Registry(FaultKind kind, std::string text);
Fault FileCopy(std::string destination);

// The queries a session sends as it opens a player's volume, after the
// protocol version: INQUIRY and the media flag, whose zero answer (a CHECK
// CONDITION moves no data) means no player or no media, then the chip, ROM,
// media type and capacity queries, whose zero answers go unnoticed. Any of
// them not delivered fails the open. `row(step, fault, result, left)` makes
// a row of the caller's operation.
template <typename MakeRow>
std::vector<Row> OpenQueryRows(const MakeRow& row, const std::string& step, std::uint32_t nth,
                               int failedResult, const Left& failed, int passedResult,
                               const Left& passed) {
  std::vector<Row> rows;
  for (const std::string cdb : {"12", "c0 02 09", "c0 30", "c0 37", "c0 02 06", "25"}) {
    const bool zerosFail = cdb == "12" || cdb == "c0 02 09";
    rows.push_back(row(step, NotDelivered(cdb, nth), failedResult, failed));
    rows.push_back(row(step, CheckCondition(cdb, nth), zerosFail ? failedResult : passedResult,
                       zerosFail ? failed : passed));
  }
  return rows;
}

inline void Append(std::vector<Row>& rows, const std::vector<Row>& more) {
  rows.insert(rows.end(), more.begin(), more.end());
}

}  // namespace kx7::matrix
