// DoRecoveryUpdate on the default player, its settings backed up by an
// earlier GetDeviceInfo, plugged in in ROM recovery mode. The updater comes
// up at E:; its media is erased and allocated anew, after which drive 0 is
// 0x50, 1 the data drive 0x0A, 3 the settings drive 0x0C, 4 and 5 are 0x60
// and 0x70 and 6 the bootlet's 0xA0. firmware.sb is opened three times by
// the allocation, then as in the normal update: opens 4 to 9 write, 10 to
// 18 verify. The format goes through the disk (INQUIRY 2 and 3 find it
// among the physical drives; lock 2), then through the volume reopened by
// letter (INQUIRY 4, lock 3), writing six runs of sectors on Windows 7. The
// settings go back once the player restarts: its volume is opened by the
// scan (INQUIRY 5) and again to count the players (INQUIRY 6).
#include "fault_matrix/fault_matrix.h"

namespace kx7::matrix {

namespace {

using sim::PlayerMode;
constexpr Content O = Content::Old;
constexpr Content N = Content::New;
constexpr Content E = Content::Erased;
constexpr Content P = Content::Partial;
constexpr Content M = Content::Missing;

const std::string kBoth = "DEVDIVERSITY.INI PERSIST.BIN";
const std::string kRestored = "DEVCONFIG.INI PERSIST.BIN";

const Left kInRom{.mode = PlayerMode::RomRecovery, .backup = kBoth};
const Left kUpdaterFree{.mode = PlayerMode::Updater, .backup = kBoth};
const Left kHeldOld{.mode = PlayerMode::Updater, .held = true, .backup = kBoth};
// The media erased: no drives, no file system.
const Left kHeldErased{.mode = PlayerMode::Updater,
                       .drives = {M, M, M, M},
                       .version = "-",
                       .held = true,
                       .playerFiles = "",
                       .backup = kBoth};
// Drives allocated, nothing written yet.
const Left kHeldAllocated{.mode = PlayerMode::Updater,
                          .drives = {E, E, E, E},
                          .version = "0.00",
                          .held = true,
                          .playerFiles = "",
                          .backup = kBoth};
const Left kHeldWritten{.mode = PlayerMode::Updater,
                        .drives = {N, N, N, E},
                        .version = "2.03",
                        .held = true,
                        .playerFiles = "",
                        .backup = kBoth};
const Left kDone{
    .drives = {N, N, N, N}, .version = "2.03", .playerFiles = kRestored, .backup = kBoth};

Left Drives(Left left, std::array<Content, 4> drives) {
  left.drives = drives;
  return left;
}

Left Gone(Left left) {
  left.mode = PlayerMode::Unplugged;
  return left;
}

Left Files(Left left, std::string files) {
  left.playerFiles = std::move(files);
  return left;
}

Left Mode(Left left, PlayerMode mode) {
  left.mode = mode;
  return left;
}

Left Version(Left left, std::string version) {
  left.version = std::move(version);
  return left;
}

std::string InFolder(const char* name) {
  return FirmwareFolder() + name;
}

}  // namespace

std::vector<Row> RecoveryUpdateRows() {
  const auto row = [](std::string step, Fault fault, int result, Left left) {
    return Row{Operation::DoRecoveryUpdate,
               Scenario::PlayerInRecovery,
               std::move(step),
               std::move(fault),
               result,
               std::move(left)};
  };
  const std::string firmware = InFolder("firmware.sb");
  const std::string bootlet = InFolder("lba_nand_bootlet.sb");
  const std::string find = "find the updater: open E:";
  const std::string reopen = "format: reopen E: by letter";
  const std::string restore = "restore: open E:";
  const std::string count = "restore: count the players";
  // The player back in normal mode without its settings.
  const Left bare = Files(kDone, "");
  std::vector<Row> rows = {
      row("recovery", {}, 0, kDone),
      Row{Operation::DoRecoveryUpdate,
          Scenario::PlayerInRecoveryOnXP,
          "recovery (XP)",
          {},
          0,
          kDone},
      Row{Operation::DoRecoveryUpdate, Scenario::PlayerInRecoveryOnXP,
          "format (XP): reopen E: before the boot sector", LocksRefused(10, 3), 10, kHeldWritten},
      // AutoPlay suppression fails nothing.
      row("AutoPlay suppression", Registry(FaultKind::RegistryOpen, "Explorer\\AutoplayHandlers"),
          0, kDone),
      row("AutoPlay suppression", Registry(FaultKind::RegistryQuery, "DisableAutoplay"), 0, kDone),
      row("AutoPlay suppression", Registry(FaultKind::RegistryWrite, "AutoplayHandlers"), 0, kDone),
      row("AutoPlay suppression", Registry(FaultKind::RegistryCreate, "CancelAutoplay"), 0, kDone),
      // The updater over HID.
      row("download: find the ROM's HID device", Simple(FaultKind::HidSet), 4, kInRom),
      row("download: find the ROM's HID device", HidEnumErrors(0, 1), 0, kDone),
      row("download: find the ROM's HID device", HidEnumErrors(2, 2), 4, kInRom),
      row("download: find the ROM's HID device", Simple(FaultKind::HidDetail, 1), 0, kDone),
      row("download: find the ROM's HID device", Simple(FaultKind::HidDetail, 2), 4, kInRom),
      row("download: open the ROM's HID device", Simple(FaultKind::HidOpen), 4, kInRom),
      row("download: read its capabilities", Simple(FaultKind::HidCaps), 4, kInRom),
      row("download: read its capabilities", Simple(FaultKind::HidCapsStatus), 4, kInRom),
      row("download: load updater.sb", FileOpen(InFolder("updater.sb")), 4, kInRom),
      row("download: read updater.sb", FileReadsShort(InFolder("updater.sb"), 50000), 4, kInRom),
      row("download: command report", Simple(FaultKind::HidReport, 1), 4, kInRom),
      row("download: first data report", Simple(FaultKind::HidReport, 2), 4, kInRom),
      row("download: data report 49", Simple(FaultKind::HidReport, 50), 4, kInRom),
      row("download: last, partial data report", Simple(FaultKind::HidReport, 98), 4, kInRom),
      row("download: data report 49", GoneAt(Call::HidReport, 50), 4, Gone(kInRom)),
      // The updater found at E:, opened and locked. Its drive table is read
      // again after the allocation: what the first one said does not count.
      row("find the updater: scan the letters", GoneAt(Call::DriveScan, 1), 5, Gone(kInRom)),
      row(find, NotDelivered("c0 00", 1), 5, kUpdaterFree),
      row(find, CheckCondition("c0 00", 1), 0, kDone),
      row(find, Altered("12", 1, 0, "05"), 5, kUpdaterFree),
      row(find, Altered("12", 1, 8, "4b6f7276616e6520 54657373696f204d69726c"), 5, kUpdaterFree),
  };
  Append(rows, OpenQueryRows(row, find, 1, 5, kUpdaterFree, 0, kDone));
  rows.insert(
      rows.end(),
      {
          row(find, NotDelivered("c0 05", 1), 5, kUpdaterFree),
          row(find, CheckCondition("c0 05", 1), 0, kDone),
          row(find, NotDelivered("c0 12 00 08", 1), 0, kDone),
          row(find, NotDelivered("c0 12 00 00", 1), 5, kUpdaterFree),
          row(find, CheckCondition("c0 12 00 00", 1), 0, kDone),
          row(find, GoneAtCommand("c0 00", 1), 5, Gone(kInRom)),
          row("find the updater: lock E:", LocksRefused(10), 5, kUpdaterFree),
          row("find the updater: lock E:", LocksRefused(9), 0, kDone),
          row("find the updater: lock E:", GoneAt(Call::Lock, 1), 5, Gone(kInRom)),
          // The media erased and allocated around the files.
          row("reallocate: erase the media", NotDelivered("c1 07", 1), 6, kHeldOld),
          row("reallocate: erase the media", CheckCondition("c1 07", 1), 0, kDone),
          row("reallocate: erase the media", GoneAtCommand("c1 07", 1), 6, Gone(kHeldOld)),
          row("reallocate: load firmware.sb", FileOpen(firmware), 6, kHeldErased),
          row("reallocate: load lba_nand_bootlet.sb", FileOpen(bootlet), 6, kHeldErased),
          row("reallocate: allocate", NotDelivered("c1 06", 1), 6, kHeldErased),
          // Refused by the player: the table read again shows no drives.
          row("reallocate: allocate", CheckCondition("c1 06", 1), 7, kHeldErased),
          row("reallocate: allocate", GoneAtCommand("c1 06", 1), 6, Gone(kHeldErased)),
          row("reallocate: read the new table", NotDelivered("c0 05", 2), 6, kHeldAllocated),
          row("reallocate: read the new table", CheckCondition("c0 05", 2), 7, kHeldAllocated),
          row("reallocate: read the new table", Altered("c0 05", 2, 0, "0015"), 6, kHeldAllocated),
          row("reallocate: read the new table", NotDelivered("c0 12 00 08", 2), 0, kDone),
          row("reallocate: read the new table", NotDelivered("c0 12 00 00", 2), 6, kHeldAllocated),
          row("reallocate: read the new table", GoneAtCommand("c0 05", 2), 6, Gone(kHeldAllocated)),
          // The firmware drives.
          row("write 0x50: load firmware.sb", FileOpen(firmware, 4), 7, kHeldAllocated),
          row("write 0x50: read firmware.sb", FileReadsShort(firmware, 100000), 7, kHeldAllocated),
          row("write 0x50: erase", NotDelivered("c1 2f 00", 1), 7, kHeldAllocated),
          row("write 0x50: stamp version (type 8)", NotDelivered("c1 20 00 08", 1), 7,
              kHeldAllocated),
          row("write 0x50: first chunk", NotDelivered("c1 23 00", 1), 7,
              Version(kHeldAllocated, "2.03")),
          row("write 0x50: middle chunk", NotDelivered("c1 23 00", 3), 7,
              Version(Drives(kHeldAllocated, {P, E, E, E}), "2.03")),
          row("write 0x50: last chunk", NotDelivered("c1 23 00", 5), 8,
              Drives(kHeldWritten, {P, N, N, E})),
          row("write 0x60: first chunk", CheckCondition("c1 23 04", 1), 8,
              Drives(kHeldWritten, {N, P, N, E})),
          row("write 0x60: second chunk", GoneAtCommand("c1 23 04", 2), 7,
              Gone(Drives(kHeldWritten, {N, P, E, E}))),
          row("write 0x70: erase", NotDelivered("c1 2f 05", 1), 7,
              Drives(kHeldWritten, {N, N, E, E})),
          // The read-back.
          row("verify 0x50: first chunk", NotDelivered("c0 13 00", 1), 8, kHeldWritten),
          row("verify 0x50: first chunk", Altered("c0 13 00", 1, 20, "00"), 8, kHeldWritten),
          row("verify 0x50: first chunk", GoneAtCommand("c0 13 00", 1), 8, Gone(kHeldWritten)),
          row("verify 0x50: size the read-back", FileShrinks(firmware, 100000, 12), 8,
              kHeldWritten),
          row("verify 0x60: second chunk", Short("c0 13 04", 2, 100), 8, kHeldWritten),
          row("verify 0x60: read-back", ReadBackCorrupt(0x60, 1000), 8, kHeldWritten),
          row("verify 0x70: last, partial chunk", CheckCondition("c0 13 05", 5), 8, kHeldWritten),
          // The settings drive: erased, then one chunk of 0xFF (the last chunk,
          // whose send is not checked).
          row("reset the settings drive: erase", NotDelivered("c1 2f 03", 1), 9, kHeldWritten),
          row("reset the settings drive: erase", CheckCondition("c1 2f 03", 1), 0, kDone),
          row("reset the settings drive: erase", GoneAtCommand("c1 2f 03", 1), 9,
              Gone(kHeldWritten)),
          row("reset the settings drive: write", NotDelivered("c1 23 03", 1), 0, kDone),
          // The data drive: erased, sized, partitioned through the disk, its
          // boot sector written through the disk, then the rest through the
          // volume, every run of sectors read back.
          row("format: erase the data drive", NotDelivered("c1 2f 01", 1), 10, kHeldWritten),
          row("format: erase the data drive", CheckCondition("c1 2f 01", 1), 0, kDone),
          row("format: read the capacity", NotDelivered("25", 2), 10, kHeldWritten),
          row("format: read the capacity", CheckCondition("25", 2), 10, kHeldWritten),
          // 3841 sectors: too small for FAT16's smallest cluster count.
          row("format: read the capacity", Altered("25", 2, 0, "00000f00"), 10, kHeldWritten),
          row("format: read the capacity", Short("25", 2, 4), 10, kHeldWritten),
          row("format: unlock E:", UnlocksRefused(10), 10, kHeldWritten),
          row("format: find the disk", NotDelivered("12", 2), 0, kDone),
          row("format: find the disk", NotDelivered("12", 3), 10, kHeldWritten),
          row("format: find the disk", CheckCondition("12", 3), 10, kHeldWritten),
          row("format: find the disk", GoneAtCommand("12", 3), 10, Gone(kHeldWritten)),
          row("format: lock the disk", LocksRefused(10, 2), 10, kHeldWritten),
          row("format: disk geometry", Simple(FaultKind::Geometry), 10, kHeldWritten),
          row("format: delete the partition table", Simple(FaultKind::DeleteLayout), 0, kDone),
          row("format: write the partition table", Simple(FaultKind::SetLayout), 10, kHeldWritten),
          row("format: master boot record", RawReadCorrupt(0), 10, kHeldWritten),
          row("format: master boot record", GoneAt(Call::RawWrite, 1), 10, Gone(kHeldWritten)),
          row("format: sectors before the partition", RawReadCorrupt(512), 10, kHeldWritten),
          row("format: boot sector", RawReadCorrupt(16384 + 510), 10, kHeldWritten),
          row("format: boot sector", GoneAt(Call::RawWrite, 3), 10, Gone(kHeldWritten)),
          row("format: unlock the disk", UnlocksRefused(10, 2), 10, kHeldWritten),
          row(reopen, NotDelivered("c0 00", 2), 10, kHeldWritten),
          // Whatever answers at E: now is not the updater: nothing is written.
          row(reopen, Altered("12", 4, 8, "4b6f7276616e6520 54657373696f204d69726c"), 10,
              kHeldWritten),
          row(reopen, CheckCondition("12", 4), 10, kHeldWritten),
          row(reopen, NotDelivered("c0 05", 3), 10, kHeldWritten),
          row(reopen, GoneAtCommand("c0 00", 2), 10, Gone(kHeldWritten)),
          row("format: lock E:", LocksRefused(10, 3), 10, kHeldWritten),
          row("format: first FAT", RawReadCorrupt(16896), 10, kHeldWritten),
          row("format: second FAT", GoneAt(Call::RawWrite, 5), 10, Gone(kHeldWritten)),
          row("format: root directory", RawReadCorrupt(49664 + 11), 10, kHeldWritten),
          row("format: dismount E:", DismountsRefused(10), 10, kHeldWritten),
          row("format: dismount E:", DismountsRefused(9), 0, kDone),
          // The bootlet: nothing of it fails the rebuild.
          row("write the bootlet: load lba_nand_bootlet.sb", FileOpen(bootlet, 2), 0,
              Drives(kDone, {N, N, N, E})),
          row("write the bootlet: read lba_nand_bootlet.sb", FileOpen(bootlet, 3), 0,
              Drives(kDone, {N, N, N, E})),
          row("write the bootlet: erase", NotDelivered("c1 2f 06", 1), 0,
              Drives(kDone, {N, N, N, E})),
          row("write the bootlet: write", NotDelivered("c1 23 06", 1), 0,
              Drives(kDone, {N, N, N, E})),
          // The chip reset: its result is not looked at. A player that did not
          // restart is no player in normal mode, and gets no settings.
          row("reset the chip", NotDelivered("c1 31", 1), 0, Mode(bare, PlayerMode::Updater)),
          row("reset the chip", CheckCondition("c1 31", 1), 0, Mode(bare, PlayerMode::Updater)),
          row("reset the chip", GoneAtCommand("c1 31", 1), 0, Gone(bare)),
          // The settings back onto the player in normal mode.
          row(restore, NotDelivered("c0 00", 3), 0, bare),
          row(restore, CheckCondition("12", 5), 0, bare),
          row(restore, GoneAtCommand("c0 00", 3), 0, Gone(bare)),
          row(count, NotDelivered("c0 00", 4), 0, bare),
          row("restore: serial of the player", Registry(FaultKind::RegistryQuery, "ProductName"), 0,
              bare),
          row("restore: serial of the player",
              Registry(FaultKind::RegistryQuery, "\\DosDevices\\E:"), 0, bare),
          row("restore: serial of the player", Simple(FaultKind::DeviceList), 0, bare),
          row("restore: copy PERSIST.BIN", FileOpen(BackupFolder() + "\\PERSIST.BIN"), 0,
              Files(kDone, "DEVCONFIG.INI")),
          row("restore: copy PERSIST.BIN", FileCopy("E:\\PERSIST.BIN"), 0,
              Files(kDone, "DEVCONFIG.INI")),
          row("restore: copy DEVDIVERSITY.INI", FileCopy("E:\\DEVCONFIG.INI"), 0,
              Files(kDone, "PERSIST.BIN")),
      });
  return rows;
}

}  // namespace kx7::matrix
