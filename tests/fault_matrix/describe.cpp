#include "fault_matrix/describe.h"

#include <cstdio>
#include <sstream>
#include <utility>

namespace kx7::matrix {

namespace {

std::string Ordinal(std::uint32_t n) {
  const char* suffix = (n % 100 >= 11 && n % 100 <= 13) ? "th"
                       : n % 10 == 1                    ? "st"
                       : n % 10 == 2                    ? "nd"
                       : n % 10 == 3                    ? "rd"
                                                        : "th";
  return std::to_string(n) + suffix;
}

// Paths in the firmware folder by their name alone.
std::string ShortPath(const std::string& path) {
  const std::string folder = FirmwareFolder();
  return path.rfind(folder, 0) == 0 ? path.substr(folder.size()) : path;
}

std::string Code(const std::string& text) {
  return "`" + text + "`";
}

// What the command a CDB prefix names asks for.
std::string CommandName(const std::string& cdb) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"c0 00", "protocol version"}, {"12", "INQUIRY"},          {"c0 02 09", "media present"},
      {"c0 30", "chip revision"},    {"c0 37", "ROM revision"},  {"c0 02 06", "media type"},
      {"25", "READ CAPACITY"},       {"c0 05", "logical table"}, {"c1 42", "reset to recovery"},
      {"c1 31", "chip reset"},       {"c1 07", "erase media"},   {"c1 06", "allocate media"},
  };
  for (const auto& [prefix, name] : kNames)
    if (cdb == prefix) return name;
  const std::string drive =
      cdb.size() >= 8 ? "drive " + std::to_string(std::stoi(cdb.substr(6, 2), nullptr, 16)) : "";
  if (cdb.rfind("c0 12", 0) == 0)
    return cdb.size() >= 11 && cdb.substr(9, 2) == "08" ? "version of " + drive
                                                        : "sector size of " + drive;
  if (cdb.rfind("c0 13", 0) == 0) return "read " + drive;
  if (cdb.rfind("c1 23", 0) == 0) return "write " + drive;
  if (cdb.rfind("c1 2f", 0) == 0) return "erase " + drive;
  if (cdb.rfind("c1 20", 0) == 0) return "stamp " + drive;
  return "";
}

std::string Command(const Fault& f) {
  const std::string name = CommandName(f.cdb);
  return Code(f.cdb) + (name.empty() ? "" : " (" + name + ")") + " #" + std::to_string(f.nth);
}

std::string Times(std::uint32_t count, std::uint32_t from) {
  std::string text = std::to_string(count) + " times";
  if (from > 1) text += std::string(" from the ") + Ordinal(from) + " attempt";
  return text;
}

const char* ModeText(sim::PlayerMode mode) {
  switch (mode) {
    case sim::PlayerMode::Normal:
      return "normal";
    case sim::PlayerMode::RomRecovery:
      return "ROM recovery";
    case sim::PlayerMode::Updater:
      return "updater";
    case sim::PlayerMode::Restarting:
      return "restarting";
    case sim::PlayerMode::Unplugged:
      return "unplugged";
  }
  return "?";
}

const char* ContentText(Content content) {
  switch (content) {
    case Content::Old:
      return "old";
    case Content::New:
      return "new";
    case Content::Erased:
      return "erased";
    case Content::Partial:
      return "partial";
    case Content::Missing:
      return "none";
  }
  return "?";
}

std::string OrNone(const std::string& text) {
  return text.empty() ? "none" : text;
}

const char* OperationName(Operation operation) {
  switch (operation) {
    case Operation::MSCDeviceList:
      return "MSCDeviceList";
    case Operation::GetDeviceInfo:
      return "GetDeviceInfo";
    case Operation::NeedRecovery:
      return "NeedRecovery";
    case Operation::DoNormalUpdate:
      return "DoNormalUpdate";
    case Operation::DoRecoveryUpdate:
      return "DoRecoveryUpdate";
  }
  return "?";
}

const char* OperationSetting(Operation operation) {
  switch (operation) {
    case Operation::MSCDeviceList:
      return "The default world: Windows 7, C: a fixed disk, D: a CD-ROM drive, the player at E: "
             "in normal mode running firmware 1.01. The result is the number of players counted; "
             "the list it writes is the current drive letter, none here.";
    case Operation::GetDeviceInfo:
      return "The default world, and the same player in ROM recovery mode after an earlier "
             "query backed up its settings. The record is shown as mode, drive letter, firmware "
             "version and region (\"-\" for an empty field).";
    case Operation::NeedRecovery:
      return "The folder's firmware.sb is 3 MiB, larger than the player's 2 MiB drive 0x50, so "
             "the answer without a fault is 0 (recovery needed); 1 means it fits or the player "
             "could not be compared.";
    case Operation::DoNormalUpdate:
      return "The default world: firmware 2.03 in the folder, the player at E: running 1.01. "
             "The updater is 97 data reports after the command report; each firmware drive is "
             "written in five 64 KiB chunks and read back in four and a rest. firmware.sb is "
             "opened twice per drive written and three times per drive read back.";
    case Operation::DoRecoveryUpdate:
      return "The player's settings were backed up by GetDeviceInfo, then it was plugged in in "
             "ROM recovery mode. After the allocation drive 0 is 0x50, 1 the data drive, 3 the "
             "settings drive, 4 and 5 are 0x60 and 0x70, 6 the bootlet. Raw sector offsets are "
             "counted from the start of the data drive (its partition starts at 16384).";
  }
  return "";
}

}  // namespace

std::string DescribeFault(const Fault& f) {
  const sim::scenario::Json entry = ScenarioEntry(f);
  const std::string words = FaultInWords(f);
  return entry.is_null() ? words : words + ": " + Code(entry.dump());
}

std::string FaultInWords(const Fault& f) {
  switch (f.kind) {
    case FaultKind::None:
      return "none";
    case FaultKind::NotDelivered:
      return Command(f) + " not delivered";
    case FaultKind::CheckCondition:
      return Command(f) + " answered CHECK CONDITION";
    case FaultKind::Altered:
      return Command(f) + " answered with " + Code(f.bytes) + " at byte " +
             std::to_string(f.offset);
    case FaultKind::Short:
      return Command(f) + " answered with its first " + std::to_string(f.count) + " bytes only";
    case FaultKind::Gone:
      switch (f.call) {
        case Call::Scsi:
          return "player unplugged as " + Command(f) + " is sent";
        case Call::HidReport:
          return std::string("player unplugged as the ") + Ordinal(f.nth) +
                 " output report is written";
        case Call::Lock:
          return std::string("player unplugged as lock #") + std::to_string(f.nth) + " is tried";
        case Call::DriveScan:
          return "player unplugged as the drive letters are scanned";
        case Call::RawWrite:
          return std::string("player unplugged as the ") + Ordinal(f.nth) +
                 " run of sectors is written";
      }
      return "";
    case FaultKind::LocksRefused:
      return "lock refused " + Times(f.count, f.nth);
    case FaultKind::UnlocksRefused:
      return "unlock refused " + Times(f.count, f.nth);
    case FaultKind::DismountsRefused:
      return "dismount refused " + Times(f.count, 1);
    case FaultKind::ReadBackCorrupt: {
      char tag[8];
      std::snprintf(tag, sizeof tag, "0x%02X", f.tag);
      return std::string("reads of drive ") + tag + " come back with byte " +
             std::to_string(f.offset) + " altered";
    }
    case FaultKind::RawReadCorrupt:
      return "raw reads come back with byte " + std::to_string(f.offset) + " altered";
    case FaultKind::HidEnumErrors: {
      std::string text = f.nth == f.count
                             ? "HID interface " + std::to_string(f.nth) + " fails to enumerate"
                             : "HID interfaces " + std::to_string(f.nth) + " to " +
                                   std::to_string(f.count) + " fail to enumerate";
      if (f.except != UINT32_MAX) text += ", all but " + std::to_string(f.except);
      return text;
    }
    case FaultKind::HidDetail:
      return "detail of HID interface " + std::to_string(f.nth) + " unreadable";
    case FaultKind::HidSet:
      return "no HID interface list";
    case FaultKind::HidOpen:
      return "the ROM's HID device does not open";
    case FaultKind::HidCaps:
      return "capabilities unreadable";
    case FaultKind::HidCapsStatus:
      return "HidP_GetCaps reports a failure";
    case FaultKind::HidReport:
      return std::string("the ") + Ordinal(f.nth) + " output report is not written";
    case FaultKind::FileOpen:
      return Code(ShortPath(f.path)) + " does not open" +
             (f.nth > 1 ? std::string(" from its ") + Ordinal(f.nth) + " open on" : "");
    case FaultKind::FileReadsShort:
      return Code(ShortPath(f.path)) + " yields " + std::to_string(f.count) +
             " bytes, its size says more";
    case FaultKind::FileShrinks:
      return Code(ShortPath(f.path)) + " holds only " + std::to_string(f.count) +
             " bytes from its " + Ordinal(f.nth) + " open on";
    case FaultKind::FileCopy:
      return "copy to " + Code(ShortPath(f.path)) + " fails";
    case FaultKind::RegistryOpen:
      return "keys under " + Code(f.path) + " do not open";
    case FaultKind::RegistryQuery:
      return "value " + Code(f.path) + " unreadable";
    case FaultKind::RegistryCreate:
      return "key " + Code(f.path) + " cannot be created";
    case FaultKind::RegistryWrite:
      return "values under " + Code(f.path) + " cannot be written";
    case FaultKind::Geometry:
      return "no drive geometry";
    case FaultKind::SetLayout:
      return "the new partition table is refused";
    case FaultKind::DeleteLayout:
      return "the old partition table is not deleted";
    case FaultKind::DeviceList:
      return "no list of present devices";
  }
  return "";
}

std::string DescribeResult(Operation operation, int result) {
  const std::string n = std::to_string(result);
  switch (operation) {
    case Operation::MSCDeviceList:
      return n + (result == 1 ? " player" : " players");
    case Operation::GetDeviceInfo:
      switch (result) {
        case 0:
          return "0 record filled";
        case 1:
          return "1 no player";
        case 5:
          return "5 player elsewhere or not found";
      }
      break;
    case Operation::NeedRecovery:
      switch (result) {
        case 0:
          return "0 recovery needed";
        case 1:
          return "1 fits, or not comparable";
      }
      break;
    case Operation::DoNormalUpdate:
      switch (result) {
        case 0:
          return "0 done";
        case 2:
          return "2 switch failed";
        case 4:
          return "4 download failed";
        case 6:
          return "6 write failed";
        case 7:
          return "7 verify failed";
        case 8:
          return "8 updater gone";
        case 10:
          return "10 no drive letter";
      }
      break;
    case Operation::DoRecoveryUpdate:
      switch (result) {
        case 0:
          return "0 done";
        case 4:
          return "4 download failed";
        case 5:
          return "5 updater not found or not locked";
        case 6:
          return "6 reallocation failed";
        case 7:
          return "7 write failed";
        case 8:
          return "8 verify failed";
        case 9:
          return "9 settings drive not reset";
        case 10:
          return "10 format failed";
        case 11:
          return "11 updater gone";
      }
      break;
  }
  return n;
}

std::string DescribePlayer(const Left& left) {
  std::string text = ModeText(left.mode);
  if (left.held) text += ", held by the library";
  text += "; ";
  for (std::size_t i = 0; i < left.drives.size(); ++i)
    text += std::string(i ? "/" : "") + ContentText(left.drives[i]);
  text += "; " + left.version + "; files: " + OrNone(left.playerFiles);
  return text;
}

std::string DescribeHost(const Row& row) {
  std::string text = "backup: " + OrNone(row.left.backup);
  if (row.operation == Operation::GetDeviceInfo) text += "; record: " + row.left.record;
  return text;
}

std::string FaultMatrixDocument() {
  std::ostringstream out;
  out << "# Fault matrix\n\n"
         "Generated by `print_fault_matrix` from the table in `tests/fault_matrix/`; the test "
         "`fault_matrix_doc` fails when this file differs from what it prints. Rebuild it with "
         "`cmake --build build/default --target fault-matrix-doc`.\n\n"
         "Each row runs one operation on a simulated world with one fault in place. Its test "
         "asserts the result, what the player and the host are left with once the player has "
         "settled, and on every row: the result is one of the export's codes, the busy flag is "
         "clear, the user's AutoPlay setting is as it was, no running object is left "
         "registered, no registry key is left open, nothing is created or copied on the host "
         "outside the player's backup folder (or onto the player), nothing is written to the "
         "registry outside the AutoPlay keys, every handle opened is closed except the updater "
         "the library holds and the ones a reset took with it, no device request goes through "
         "a handle not opened by the same call, and the fault struck where it was aimed.\n\n"
         "Each fault is given in words and as the entry a scenario file's `faults` list writes "
         "for it ([scenarios.md](scenarios.md)); the row puts it in place through the scenario "
         "loader, so the same entry in a scenario file does the same. A player pulled out as a "
         "call is made has no such entry: a scenario file pulls a player out at a virtual "
         "time.\n\n"
         "SCSI commands are named by the start of their CDB and counted from 1 among the "
         "commands that start so: `c1 23 02` #3 is the third sector write to drive 2. A "
         "CHECK CONDITION is delivered (the library does not look at the status) and moves no "
         "data; a short answer leaves the rest of the data area as the request brought it "
         "(zeros).\n\n"
         "Player: its mode once settled, whether the library still holds the updater's record; "
         "what drives 0x50/0x60/0x70/0xA0 hold (old: the factory firmware, new: the folder's "
         "firmware or bootlet, erased, partial, none: no such drive); the version drive 0x50 "
         "reports; the files in the root of its data drive. Host: the files in its backup "
         "folder `C:\\Temp\\"
      << kSerial << "`.\n";
  const std::vector<Row>& rows = FaultMatrix();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    if (i == 0 || rows[i - 1].operation != row.operation) {
      out << "\n## " << OperationName(row.operation) << "\n\n"
          << OperationSetting(row.operation) << "\n\n"
          << "| Step | Fault | Result | Player | Host |\n"
          << "|---|---|---|---|---|\n";
    }
    out << "| " << row.step << " | " << DescribeFault(row.fault) << " | "
        << DescribeResult(row.operation, row.result) << " | " << DescribePlayer(row.left) << " | "
        << DescribeHost(row) << " |\n";
  }
  return out.str();
}

}  // namespace kx7::matrix
