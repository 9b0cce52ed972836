// The queries: MSCDeviceList counts the players that open, GetDeviceInfo
// reports one (and backs up its settings), NeedRecovery compares the
// firmware file with the player's first system drive.
//
// The same opening of a player's volume runs in all three. Of its queries,
// a CHECK CONDITION counts as delivered and leaves zeros in the answer: a
// zero media flag, a zero logical table entry count, zero sector sizes. Of
// those only the media flag and an INQUIRY of zeros keep the volume from
// opening; the drive versions are asked for but never required.
#include "fault_matrix/fault_matrix.h"

namespace kx7::matrix {

namespace {

using sim::PlayerMode;
constexpr Content O = Content::Old;
constexpr Content E = Content::Erased;

const std::string kBoth = "DEVDIVERSITY.INI PERSIST.BIN";
// INQUIRY vendor and product of the updater, from byte 8 on.
const std::string kUpdaterIdentity = "5f47656e65726963 4d5343205265636f76657279";

Left Gone(Left left) {
  left.mode = PlayerMode::Unplugged;
  return left;
}

std::vector<Row> DeviceListRows() {
  const auto row = [](std::string step, Fault fault, int count, Left left = {.record = "-"}) {
    return Row{
        Operation::MSCDeviceList, Scenario::Default, std::move(step), std::move(fault), count,
        std::move(left)};
  };
  const Left gone = Gone({.record = "-"});
  std::vector<Row> rows = {
      row("count the players", {}, 1),
      row("open E:", NotDelivered("c0 00", 1), 0),
      row("open E:", CheckCondition("c0 00", 1), 1),
      row("open E:", Altered("c0 00", 1, 0, "02"), 0),
      row("open E:", Altered("12", 1, 0, "05"), 0),
      row("open E:", Altered("12", 1, 8, kUpdaterIdentity), 0),
      row("open E:", Short("12", 1, 27), 1),
      row("open E:", Short("12", 1, 26), 0),
  };
  Append(rows, OpenQueryRows(row, "open E:", 1, 0, {.record = "-"}, 1, {.record = "-"}));
  rows.insert(rows.end(), {
                              row("open E:", NotDelivered("c0 05", 1), 0),
                              row("open E:", CheckCondition("c0 05", 1), 1),
                              row("open E:", Altered("c0 05", 1, 0, "0015"), 0),
                              row("open E:", Altered("c0 05", 1, 15, "0a"), 0),
                              row("open E:", Short("c0 05", 1, 35), 0),
                              row("open E:", NotDelivered("c0 12 00 08", 1), 1),
                              row("open E:", CheckCondition("c0 12 00 08", 1), 1),
                              row("open E:", NotDelivered("c0 12 00 00", 1), 0),
                              row("open E:", CheckCondition("c0 12 00 00", 1), 1),
                              row("open E:", NotDelivered("c0 12 06 00", 1), 0),
                              row("open E:", GoneAtCommand("c0 00", 1), 0, gone),
                              row("open E:", GoneAtCommand("c0 12 06 00", 1), 0, gone),
                              Row{Operation::MSCDeviceList,
                                  Scenario::PlayerOnZ,
                                  "count the players (player at Z:)",
                                  {},
                                  1,
                                  {.record = "-"}},
                          });
  return rows;
}

std::vector<Row> DeviceInfoRows() {
  const auto row = [](std::string step, Fault fault, int result, Left left) {
    return Row{
        Operation::GetDeviceInfo, Scenario::Default, std::move(step), std::move(fault), result,
        std::move(left)};
  };
  const auto shows = [&](std::string record, std::string backup = kBoth) {
    return Left{.backup = std::move(backup), .record = std::move(record)};
  };
  // The player did not open at its letter; the scan found it there again.
  const Left elsewhere = shows("- E - -");
  // No letter for the serial: only the empty backup folder is made.
  const Left noLetter = shows("- - - -", "");
  const Left fine = shows("MSC E 1.01 37");
  const Left noRegion = shows("MSC E 1.01 0");

  std::vector<Row> rows = {
      row("report the player", {}, 0, fine),
      // The letter from the registry.
      row("letter lookup", Registry(FaultKind::RegistryOpen, "Windows NT\\CurrentVersion"), 5,
          noLetter),
      row("letter lookup", Registry(FaultKind::RegistryQuery, "ProductName"), 5, noLetter),
      row("letter lookup", Registry(FaultKind::RegistryOpen, "MountedDevices"), 5, noLetter),
      row("letter lookup", Registry(FaultKind::RegistryQuery, "\\DosDevices\\E:"), 5, noLetter),
      // The settings copied to the host before the player is opened.
      row("settings backup", FileOpen("E:\\PERSIST.BIN"), 0,
          shows("MSC E 1.01 0", "DEVDIVERSITY.INI")),
      row("settings backup", FileOpen("E:\\DEVDIVERSITY.INI"), 0,
          shows("MSC E 1.01 37", "PERSIST.BIN")),
      row("settings backup", FileCopy(BackupFolder() + "\\PERSIST.BIN"), 0,
          shows("MSC E 1.01 0", "DEVDIVERSITY.INI")),
      row("settings backup", FileCopy(BackupFolder() + "\\DEVDIVERSITY.INI"), 0,
          shows("MSC E 1.01 37", "PERSIST.BIN")),
      // The player opened at its letter.
      row("open E:", NotDelivered("c0 00", 1), 5, elsewhere),
      row("open E:", CheckCondition("c0 00", 1), 0, fine),
      row("open E:", Altered("c0 00", 1, 0, "02"), 0, shows("- E 1.01 37")),
      row("open E:", Altered("12", 1, 8, kUpdaterIdentity), 0, fine),
  };
  Append(rows, OpenQueryRows(row, "open E:", 1, 5, elsewhere, 0, fine));
  rows.insert(
      rows.end(),
      {
          row("open E:", NotDelivered("c0 05", 1), 5, elsewhere),
          row("open E:", CheckCondition("c0 05", 1), 0, shows("MSC E - 37")),
          row("open E:", NotDelivered("c0 12 02 08", 1), 0, shows("MSC E 0.00 37")),
          row("open E:", CheckCondition("c0 12 02 08", 1), 0, shows("MSC E 0.00 37")),
          row("open E:", NotDelivered("c0 12 00 00", 1), 5, elsewhere),
          row("open E:", CheckCondition("c0 12 00 00", 1), 0, fine),
          row("open E:", GoneAtCommand("c0 00", 1), 1, Gone(elsewhere)),
          // The region: the serial found again for the letter, which counts the
          // players (opening E: once more), then the backed-up PERSIST.BIN.
          row("region lookup: count the players", NotDelivered("c0 00", 2), 0, noRegion),
          row("region lookup: count the players", CheckCondition("12", 2), 0, noRegion),
          row("region lookup: count the players", NotDelivered("c0 12 06 00", 2), 0, noRegion),
          row("region lookup: count the players", GoneAtCommand("c0 00", 2), 0, Gone(noRegion)),
          row("region lookup: serial of the player", Simple(FaultKind::DeviceList), 0, noRegion),
          row("region lookup: read the backup", FileOpen(BackupFolder() + "\\PERSIST.BIN"), 0,
              noRegion),
      });

  // A player in ROM recovery mode answers as "REC" while its HID device can
  // be found and its capabilities read; otherwise the letter its volume last
  // had holds nothing.
  const auto rec = [](std::string step, Fault fault, int result, std::string record) {
    return Row{Operation::GetDeviceInfo,
               Scenario::PlayerInRecovery,
               std::move(step),
               std::move(fault),
               result,
               {.mode = PlayerMode::RomRecovery, .backup = kBoth, .record = std::move(record)}};
  };
  for (Row r : {
           rec("find the ROM's HID device", {}, 0, "REC 0 0 0"),
           rec("find the ROM's HID device", Simple(FaultKind::HidSet), 1, "- E - -"),
           rec("find the ROM's HID device", HidEnumErrors(0, 1), 0, "REC 0 0 0"),
           rec("find the ROM's HID device", HidEnumErrors(2, 2), 1, "- E - -"),
           rec("find the ROM's HID device", Simple(FaultKind::HidDetail, 0), 0, "REC 0 0 0"),
           rec("find the ROM's HID device", Simple(FaultKind::HidDetail, 2), 1, "- E - -"),
           rec("open the ROM's HID device", Simple(FaultKind::HidOpen), 1, "- E - -"),
           rec("read its capabilities", Simple(FaultKind::HidCaps), 1, "- E - -"),
           rec("read its capabilities", Simple(FaultKind::HidCapsStatus), 1, "- E - -"),
       })
    rows.push_back(r);

  // Where the letter search reaches: A: to Y:, on Vista and 7 as on XP.
  rows.push_back({Operation::GetDeviceInfo,
                  Scenario::PlayerOnY,
                  "report the player (at Y:)",
                  {},
                  0,
                  shows("MSC Y 1.01 37")});
  rows.push_back({Operation::GetDeviceInfo,
                  Scenario::PlayerOnZ,
                  "report the player (at Z:)",
                  {},
                  5,
                  noLetter});
  rows.push_back(
      {Operation::GetDeviceInfo, Scenario::WindowsXP, "report the player (XP)", {}, 0, fine});
  rows.push_back({Operation::GetDeviceInfo, Scenario::WindowsXP, "letter lookup (XP)",
                  Registry(FaultKind::RegistryQuery, "ParentIdPrefix"), 5, noLetter});
  rows.push_back({Operation::GetDeviceInfo, Scenario::WindowsXP, "letter lookup (XP)",
                  Registry(FaultKind::RegistryOpen, "Enum\\USBSTOR"), 5, noLetter});
  return rows;
}

// The folder's firmware (3 MiB) is larger than the player's 2 MiB drive
// 0x50: recovery is needed, unless a fault hides the player or the sizes.
std::vector<Row> NeedRecoveryRows() {
  const auto row = [](std::string step, Fault fault, int result, Left left = {}) {
    return Row{
        Operation::NeedRecovery, Scenario::BigFirmware, std::move(step), std::move(fault), result,
        std::move(left)};
  };
  // Drive 0x50 is the third entry of the player's logical table; its size
  // is the big-endian u64 at bytes 27 to 34 of the answer.
  return {
      row("compare the firmware with drive 0x50", {}, 0),
      Row{Operation::NeedRecovery,
          Scenario::Default,
          "compare the firmware with drive 0x50 (fits)",
          {},
          1,
          {}},
      row("letter lookup", Registry(FaultKind::RegistryOpen, "Windows NT\\CurrentVersion"), 1),
      row("letter lookup", Registry(FaultKind::RegistryQuery, "\\DosDevices\\E:"), 1),
      row("open E:", NotDelivered("c0 00", 1), 1),
      row("open E:", CheckCondition("12", 1), 1),
      row("open E:", NotDelivered("c0 12 00 00", 1), 1),
      row("open E:", NotDelivered("c0 12 02 08", 1), 0),
      row("open E:", GoneAtCommand("c0 00", 1), 1, Gone({})),
      row("open E: - logical table", CheckCondition("c0 05", 1), 1),
      row("open E: - logical table", Altered("c0 05", 1, 30, "01"), 1),
      row("open E: - logical table", Altered("c0 05", 1, 31, "00300011"), 1),
      row("open E: - logical table", Altered("c0 05", 1, 31, "00300010"), 0),
      row("load firmware.sb", FileOpen(FirmwareFolder() + "firmware.sb"), 1),
      row("load firmware.sb", FileShrinks(FirmwareFolder() + "firmware.sb", 1024 * 1024, 1), 1),
      row("load firmware.sb", FileReadsShort(FirmwareFolder() + "firmware.sb", 1000), 0),
  };
}

}  // namespace

std::vector<Row> QueryRows() {
  std::vector<Row> rows = DeviceListRows();
  for (std::vector<Row> part : {DeviceInfoRows(), NeedRecoveryRows()})
    rows.insert(rows.end(), part.begin(), part.end());
  return rows;
}

}  // namespace kx7::matrix
