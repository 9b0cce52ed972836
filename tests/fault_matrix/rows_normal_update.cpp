// DoNormalUpdate on the default world: the player at E: running 1.01 is sent
// into its ROM, given the updater over HID (a command report and 97 data
// reports, the last one partial), found again at E: as the updater, and its
// drives 0x50, 0x60 and 0x70 (drives 2, 3 and 4) are each erased, stamped
// and written in five 64 KiB chunks, then read back in four full chunks and
// a rest of 23 sectors. firmware.sb is opened twice per write (load, read)
// and three times per verify (load, read, and the load that sizes the
// read-back): opens 1 to 6 write, 7 to 15 verify.
//
// A CHECK CONDITION counts as delivered: a step that sends and does not read
// an answer goes on as if the player had done it, and whatever it failed to
// do shows later, in the read-back.
#include "fault_matrix/fault_matrix.h"

namespace kx7::matrix {

namespace {

using sim::PlayerMode;
constexpr Content O = Content::Old;
constexpr Content N = Content::New;
constexpr Content E = Content::Erased;
constexpr Content P = Content::Partial;

// Nothing changed on the player.
const Left kUntouched{};
// The player went into its ROM and never got the updater.
const Left kInRom{.mode = PlayerMode::RomRecovery};
// The updater came up and was not taken.
const Left kUpdaterFree{.mode = PlayerMode::Updater};
// The updater is held and nothing was written.
const Left kHeldOld{.mode = PlayerMode::Updater, .held = true};
const Left kDone{.drives = {N, N, N, E}, .version = "2.03"};
// Everything written; the read-back did not match.
const Left kHeldNew{
    .mode = PlayerMode::Updater, .drives = {N, N, N, E}, .version = "2.03", .held = true};

Left Held(Content d50, Content d60, Content d70, std::string version = "2.03") {
  return {.mode = PlayerMode::Updater,
          .drives = {d50, d60, d70, E},
          .version = std::move(version),
          .held = true};
}

Left Gone(Left left) {
  left.mode = PlayerMode::Unplugged;
  return left;
}

Left Version(Left left, std::string version) {
  left.version = std::move(version);
  return left;
}

Left Mode(Left left, PlayerMode mode) {
  left.mode = mode;
  return left;
}

std::string Firmware() {
  return FirmwareFolder() + "firmware.sb";
}

std::string Updater() {
  return FirmwareFolder() + "updater.sb";
}

}  // namespace

std::vector<Row> NormalUpdateRows() {
  const auto row = [](std::string step, Fault fault, int result, Left left) {
    return Row{Operation::DoNormalUpdate,
               Scenario::Default,
               std::move(step),
               std::move(fault),
               result,
               std::move(left)};
  };
  const auto in = [](Scenario scenario, std::string step, Fault fault, int result, Left left) {
    return Row{Operation::DoNormalUpdate, scenario, std::move(step),
               std::move(fault),          result,   std::move(left)};
  };
  const std::string open1 = "switch: open E:";
  const std::string open2 = "find the updater: open E:";
  std::vector<Row> rows = {
      row("update", {}, 0, kDone),
      // AutoPlay suppression: nothing of it fails the update.
      row("AutoPlay suppression", Registry(FaultKind::RegistryOpen, "Explorer\\AutoplayHandlers"),
          0, kDone),
      row("AutoPlay suppression", Registry(FaultKind::RegistryQuery, "DisableAutoplay"), 0, kDone),
      row("AutoPlay suppression", Registry(FaultKind::RegistryWrite, "AutoplayHandlers"), 0, kDone),
      row("AutoPlay suppression", Registry(FaultKind::RegistryCreate, "CancelAutoplay"), 0, kDone),
      // The letter of the serial.
      row("letter lookup", Registry(FaultKind::RegistryOpen, "Windows NT\\CurrentVersion"), 10,
          kUntouched),
      row("letter lookup", Registry(FaultKind::RegistryQuery, "ProductName"), 10, kUntouched),
      row("letter lookup", Registry(FaultKind::RegistryOpen, "MountedDevices"), 10, kUntouched),
      row("letter lookup", Registry(FaultKind::RegistryQuery, "\\DosDevices\\E:"), 10, kUntouched),
      in(Scenario::WindowsXP, "update (XP)", {}, 0, kDone),
      in(Scenario::WindowsXP, "letter lookup (XP)",
         Registry(FaultKind::RegistryQuery, "ParentIdPrefix"), 10, kUntouched),
      in(Scenario::WindowsXP, "letter lookup (XP)",
         Registry(FaultKind::RegistryOpen, "Enum\\USBSTOR"), 10, kUntouched),
      in(Scenario::PlayerOnY, "update (player at Y:)", {}, 0, kDone),
      in(Scenario::PlayerOnZ, "update (player at Z:)", {}, 10, kUntouched),
      // The player opened at its letter and told to reset into its ROM. A
      // protocol version below 4 sends no reset at all.
      row(open1, NotDelivered("c0 00", 1), 2, kUntouched),
      row(open1, CheckCondition("c0 00", 1), 4, kUntouched),
      row(open1, Altered("c0 00", 1, 0, "02"), 2, kUntouched),
      row(open1, Altered("c0 00", 1, 0, "03"), 4, kUntouched),
      row(open1, Altered("12", 1, 8, "5f47656e65726963 4d5343205265636f76657279"), 2, kUntouched),
  };
  Append(rows, OpenQueryRows(row, open1, 1, 2, kUntouched, 0, kDone));
  rows.insert(
      rows.end(),
      {
          row(open1, NotDelivered("c0 05", 1), 2, kUntouched),
          row(open1, CheckCondition("c0 05", 1), 0, kDone),
          row(open1, NotDelivered("c0 12 02 08", 1), 0, kDone),
          row(open1, CheckCondition("c0 12 02 08", 1), 0, kDone),
          row(open1, NotDelivered("c0 12 02 00", 1), 2, kUntouched),
          row(open1, CheckCondition("c0 12 02 00", 1), 0, kDone),
          row(open1, GoneAtCommand("c0 00", 1), 2, Gone(kUntouched)),
          row("switch: reset to recovery", NotDelivered("c1 42", 1), 4, kUntouched),
          row("switch: reset to recovery", CheckCondition("c1 42", 1), 4, kUntouched),
          row("switch: reset to recovery", GoneAtCommand("c1 42", 1), 4, Gone(kUntouched)),
          // The updater over HID.
          row("download: find the ROM's HID device", Simple(FaultKind::HidSet), 4, kInRom),
          row("download: find the ROM's HID device", HidEnumErrors(0, 1), 0, kDone),
          row("download: find the ROM's HID device", HidEnumErrors(2, 2), 4, kInRom),
          row("download: find the ROM's HID device", Simple(FaultKind::HidDetail, 0), 0, kDone),
          row("download: find the ROM's HID device", Simple(FaultKind::HidDetail, 2), 4, kInRom),
          in(Scenario::ManyHidDevices, "download: 72 interfaces before the ROM's", {}, 0, kDone),
          in(Scenario::ManyHidDevices, "download: 72 interfaces before the ROM's",
             HidEnumErrors(9, 71), 0, kDone),
          in(Scenario::ManyHidDevices, "download: 72 interfaces before the ROM's",
             HidEnumErrors(8, 71), 4, kInRom),
          // 71 errors, but never 64 in a row.
          in(Scenario::ManyHidDevices, "download: 72 interfaces before the ROM's",
             HidEnumErrors(0, 71, 40), 0, kDone),
          row("download: open the ROM's HID device", Simple(FaultKind::HidOpen), 4, kInRom),
          row("download: read its capabilities", Simple(FaultKind::HidCaps), 4, kInRom),
          row("download: read its capabilities", Simple(FaultKind::HidCapsStatus), 4, kInRom),
          row("download: load updater.sb", FileOpen(Updater()), 4, kInRom),
          row("download: read updater.sb", FileReadsShort(Updater(), 50000), 4, kInRom),
          row("download: read updater.sb", FileShrinks(Updater(), 50000, 2), 4, kInRom),
          row("download: command report", Simple(FaultKind::HidReport, 1), 4, kInRom),
          row("download: first data report", Simple(FaultKind::HidReport, 2), 4, kInRom),
          row("download: data report 49", Simple(FaultKind::HidReport, 50), 4, kInRom),
          row("download: last, partial data report", Simple(FaultKind::HidReport, 98), 4, kInRom),
          row("download: command report", GoneAt(Call::HidReport, 1), 4, Gone(kUntouched)),
          row("download: data report 49", GoneAt(Call::HidReport, 50), 4, Gone(kUntouched)),
          row("download: last, partial data report", GoneAt(Call::HidReport, 98), 4,
              Gone(kUntouched)),
          // The updater found at E:, opened and locked.
          row("find the updater: scan the letters", GoneAt(Call::DriveScan, 1), 6,
              Gone(kUntouched)),
          row(open2, NotDelivered("c0 00", 2), 6, kUpdaterFree),
          row(open2, CheckCondition("c0 00", 2), 0, kDone),
          row(open2, Altered("12", 2, 0, "05"), 6, kUpdaterFree),
      });
  Append(rows, OpenQueryRows(row, open2, 2, 6, kUpdaterFree, 0, kDone));
  rows.insert(
      rows.end(),
      {
          row(open2, NotDelivered("c0 05", 2), 6, kUpdaterFree),
          // An empty table: the updater is taken, but names no drive to write.
          row(open2, CheckCondition("c0 05", 2), 6, kHeldOld),
          // A table without 0x60 (its entry's tag altered).
          row(open2, Altered("c0 05", 2, 37, "61"), 6, Held(N, O, O)),
          row(open2, NotDelivered("c0 12 02 08", 2), 0, kDone),
          row(open2, CheckCondition("c0 12 02 08", 2), 0, kDone),
          row(open2, NotDelivered("c0 12 02 00", 2), 6, kUpdaterFree),
          // Drive 0x50 with sector size 0: erased and stamped, then refused.
          row(open2, CheckCondition("c0 12 02 00", 2), 6, Held(E, O, O)),
          row("find the updater: lock E:", LocksRefused(10), 6, kUpdaterFree),
          row("find the updater: lock E:", LocksRefused(9), 0, kDone),
          row("find the updater: lock E:", GoneAt(Call::Lock, 1), 6, Gone(kUntouched)),
          // Drive 0x50. firmware.sb is read whole before the drive is erased.
          row("write 0x50: load firmware.sb", FileOpen(Firmware()), 6, kHeldOld),
          row("write 0x50: read firmware.sb", FileReadsShort(Firmware(), 100000), 6, kHeldOld),
          row("write 0x50: erase", NotDelivered("c1 2f 02", 1), 6, kHeldOld),
          row("write 0x50: erase", CheckCondition("c1 2f 02", 1), 0, kDone),
          row("write 0x50: stamp version (type 8)", NotDelivered("c1 20 02 08", 1), 6,
              Held(E, O, O, "1.01")),
          row("write 0x50: stamp version (type 8)", CheckCondition("c1 20 02 08", 1), 0,
              Version(kDone, "1.01")),
          row("write 0x50: stamp version (type 7)", NotDelivered("c1 20 02 07", 1), 6,
              Held(E, O, O)),
          row("write 0x50: stamp version (type 7)", CheckCondition("c1 20 02 07", 1), 0, kDone),
          row("write 0x50: first chunk", NotDelivered("c1 23 02", 1), 6, Held(E, O, O)),
          row("write 0x50: first chunk", CheckCondition("c1 23 02", 1), 7, Held(P, N, N)),
          row("write 0x50: middle chunk", NotDelivered("c1 23 02", 3), 6, Held(P, O, O)),
          row("write 0x50: middle chunk", GoneAtCommand("c1 23 02", 3), 6, Gone(Held(P, O, O))),
          // The last chunk's send is not checked: the read-back finds it missing.
          row("write 0x50: last chunk", NotDelivered("c1 23 02", 5), 7, Held(P, N, N)),
          // Drives 0x60 and 0x70.
          row("write 0x60: load firmware.sb", FileOpen(Firmware(), 3), 6, Held(N, O, O)),
          row("write 0x60: erase", NotDelivered("c1 2f 03", 1), 6, Held(N, O, O)),
          row("write 0x60: last chunk", NotDelivered("c1 23 03", 5), 7, Held(N, P, N)),
          row("write 0x70: erase", NotDelivered("c1 2f 04", 1), 6, Held(N, N, O)),
          row("write 0x70: first chunk", NotDelivered("c1 23 04", 1), 6, Held(N, N, E)),
          row("write 0x70: last chunk", NotDelivered("c1 23 04", 5), 7, Held(N, N, P)),
          // The read-back of 0x50.
          row("verify 0x50: load firmware.sb", FileOpen(Firmware(), 7), 7, kHeldNew),
          row("verify 0x50: first chunk", NotDelivered("c0 13 02", 1), 7, kHeldNew),
          row("verify 0x50: first chunk", CheckCondition("c0 13 02", 1), 7, kHeldNew),
          row("verify 0x50: first chunk", Altered("c0 13 02", 1, 20, "00"), 7, kHeldNew),
          row("verify 0x50: first chunk", Short("c0 13 02", 1, 1000), 7, kHeldNew),
          row("verify 0x50: first chunk", GoneAtCommand("c0 13 02", 1), 7, Gone(kHeldNew)),
          row("verify 0x50: middle chunk", NotDelivered("c0 13 02", 3), 7, kHeldNew),
          row("verify 0x50: last, partial chunk", NotDelivered("c0 13 02", 5), 7, kHeldNew),
          // Erased flash (0xFF) must follow the image in its last sector.
          row("verify 0x50: last, partial chunk", Altered("c0 13 02", 5, 45200, "00"), 7, kHeldNew),
          row("verify 0x50: read-back", ReadBackCorrupt(0x50, 0), 7, kHeldNew),
          row("verify 0x50: read-back", ReadBackCorrupt(0x50, 307323 + 10), 7, kHeldNew),
          // The file the read-back is sized from is shorter than the image just
          // read from it: the read-back cannot cover the image.
          row("verify 0x50: size the read-back", FileShrinks(Firmware(), 100000, 9), 7, kHeldNew),
          row("verify 0x60: first chunk", NotDelivered("c0 13 03", 1), 7, kHeldNew),
          row("verify 0x70: last, partial chunk", CheckCondition("c0 13 04", 5), 7, kHeldNew),
          row("verify 0x70: size the read-back", FileShrinks(Firmware(), 100000, 15), 7, kHeldNew),
          // The chip reset: its result is not looked at.
          row("reset the chip", NotDelivered("c1 31", 1), 0, Mode(kDone, PlayerMode::Updater)),
          row("reset the chip", CheckCondition("c1 31", 1), 0, Mode(kDone, PlayerMode::Updater)),
          row("reset the chip", GoneAtCommand("c1 31", 1), 0, Gone(kDone)),
          // A retry after an update that failed its verify and left the updater
          // held: the player was unplugged and plugged back in, and this time
          // the updater is gone when it is looked for. Nothing may be sent
          // through the record the first run left.
          in(Scenario::AfterFailedUpdate, "retry", {}, 0, kDone),
          in(Scenario::AfterFailedUpdate, "retry: find the updater", GoneAt(Call::DriveScan, 1), 6,
             Gone(Version({.drives = {N, N, N, E}}, "2.03"))),
      });
  return rows;
}

}  // namespace kx7::matrix
