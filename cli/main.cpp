// kx7fw: the command-line updater. It is a host application like any other:
// it drives the library through the Library API, the way an updater
// application drives the twelve exports. This build has no player backend
// for the machine it runs on, so it runs against the built-in simulated
// world: a Windows host with one player at E: and the updater's firmware
// folder. Time is virtual; the waits of a real update pass in an instant.
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "api/library.h"
#include "device/device_session.h"
#include "kx7fw/kx7fw.h"
#include "sim/scenario.h"
#include "sim/world.h"

namespace {

using kx7::sim::DefaultScenario;
using kx7::sim::Event;
using kx7::sim::EventKind;

void PrintUsage() {
  std::puts(
      "usage: kx7fw [options] COMMAND\n"
      "\n"
      "commands:\n"
      "  update   update the player's firmware from the firmware folder (default)\n"
      "  recover  rebuild the player from its ROM's recovery mode: the player is\n"
      "           plugged back in with its recovery button held\n"
      "  info     show the attached players, their identity and drive tables\n"
      "\n"
      "options:\n"
      "  --serial TEXT   the player to work on (default: the simulated player)\n"
      "  --folder PATH   the firmware folder, ending in a separator\n"
      "  --trace FILE    write every exchange with the world as JSON Lines\n"
      "\n"
      "The world is simulated: a Windows 7 host with one Korvane Tessio Mirl\n"
      "player at E: running firmware 1.01, and firmware 2.03 in the folder.");
}

const char* RecoveryUpdateResultText(int code) {
  switch (code) {
    case 0:
      return "recovery done";
    case 3:
      return "the library is busy";
    case 4:
      return "downloading the updater failed";
    case 5:
      return "the updater's drive was not found or not locked";
    case 6:
      return "re-allocating the media failed";
    case 7:
      return "writing a firmware image failed";
    case 8:
      return "verifying a firmware image failed";
    case 9:
      return "resetting the settings drive failed";
    case 10:
      return "formatting the data drive failed";
    case 11:
      return "the updater went away";
    case 13:
      return "no firmware folder";
    default:
      return "unexpected result";
  }
}

const char* NormalUpdateResultText(int code) {
  switch (code) {
    case 0:
      return "update done";
    case 2:
      return "switching the player to updater mode failed";
    case 3:
      return "the library is busy";
    case 4:
      return "downloading the updater failed";
    case 6:
      return "writing a firmware image failed";
    case 7:
      return "verifying a firmware image failed";
    case 8:
      return "the updater went away";
    case 10:
      return "no player with that serial";
    case 11:
      return "no firmware folder";
    default:
      return "unexpected result";
  }
}

double Seconds(std::uint64_t ms) {
  return static_cast<double>(ms) / 1000.0;
}

// Prints the phases of an operation as the world sees them happen.
class PhasePrinter {
 public:
  explicit PhasePrinter(kx7::sim::World& world) : world_(world) {
    world_.transcript().setListener([this](const Event& e) { onEvent(e); });
  }
  ~PhasePrinter() {
    finishDownload();
    world_.transcript().setListener(nullptr);
  }

 private:
  void line(std::uint64_t time, const std::string& text) {
    std::printf("  [%7.3f s] %s\n", Seconds(time), text.c_str());
  }

  void finishDownload() {
    if (hidReports_ == 0) return;
    line(hidLast_, "updater sent in " + std::to_string(hidReports_) + " HID reports");
    hidReports_ = 0;
  }

  std::string tagOf(std::uint8_t driveNumber) {
    const auto* drive = world_.player(0).driveByNumber(driveNumber);
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", drive ? drive->tag : 0);
    return text;
  }

  void onEvent(const Event& e) {
    if (e.kind != EventKind::HidReport) finishDownload();
    switch (e.kind) {
      case EventKind::Player:
        line(e.time, "player is now " + e.name);
        break;
      case EventKind::HidReport:
        if (hidReports_++ == 0) line(e.time, "downloading the updater over HID");
        hidLast_ = e.time;
        break;
      case EventKind::Lock:
        if (e.ok) line(e.time, "locked the updater volume " + e.target);
        break;
      case EventKind::Scsi:
        if (e.bytes.size() < 3) break;
        if (e.bytes[0] == 0xC1 && e.bytes[1] == 0x42) line(e.time, "reset to recovery sent");
        if (e.bytes[0] == 0xC1 && e.bytes[1] == 0x2F)
          line(e.time, "erasing and writing drive " + tagOf(e.bytes[2]));
        if (e.bytes[0] == 0xC0 && e.bytes[1] == 0x13 && verified_.insert(e.bytes[2]).second)
          line(e.time, "reading back drive " + tagOf(e.bytes[2]));
        if (e.bytes[0] == 0xC1 && e.bytes[1] == 0x31) line(e.time, "chip reset sent");
        if (e.bytes[0] == 0xC1 && e.bytes[1] == 0x07) line(e.time, "erasing the whole media");
        if (e.bytes[0] == 0xC1 && e.bytes[1] == 0x06)
          line(e.time, "allocating " + std::to_string(e.bytes[2]) + " drives");
        break;
      case EventKind::SetLayout:
        line(e.time, "partition table set on " + e.target);
        break;
      case EventKind::Dismount:
        if (e.ok) line(e.time, "data drive formatted, volume dismounted");
        break;
      case EventKind::FileCopy:
        if (e.ok) line(e.time, "restored " + e.name);
        break;
      default:
        break;
    }
  }

  kx7::sim::World& world_;
  std::uint32_t hidReports_ = 0;
  std::uint64_t hidLast_ = 0;
  std::set<std::uint8_t> verified_;
};

void ShowDriveTable(const kx7::DeviceSession& session) {
  std::printf("    %-4s %-5s %-32s %-20s %10s %6s %s\n", "tag", "drive", "name", "type", "bytes",
              "sector", "version");
  for (const auto& [tag, entry] : session.Drives) {
    const auto tagName = kx7::DriveTagNames().find(tag);
    const auto typeName = kx7::DriveTypeNames().find(entry.DriveType);
    std::printf(
        "    0x%02X %-5u %-32s %-20s %10llu %6u %u.%02u.%u\n", tag, entry.DriveNumber,
        tagName == kx7::DriveTagNames().end() ? "?" : std::string(tagName->second).c_str(),
        typeName == kx7::DriveTypeNames().end() ? "?" : std::string(typeName->second).c_str(),
        static_cast<unsigned long long>(entry.SizeInBytes), entry.SectorSize, entry.Version[0],
        entry.Version[1], entry.Version[2]);
  }
}

void ShowPlayers(kx7::sim::World& world, kx7::Library& library) {
  char list[26] = {};
  std::printf("players in mass-storage mode: %d\n", library.MSCDeviceList(list));
  char id[128] = {};
  for (int index = 0; library.DeviceSerialNum(id, index) == 1; ++index)
    std::printf("  player %d: %s\n", index, id);

  kx7::DeviceSession session(world.services());
  for (char letter = 'B'; letter <= 'Z'; ++letter) {
    if (!((world.logicalDriveMask() >> (letter - 'A')) & 1u)) continue;
    if (!session.OpenByDriveLetter(letter)) continue;
    std::printf("  at %c: device kind %d, protocol %d, chip 0x%04X, ROM 0x%04X, media type %d\n",
                letter, session.Kind, session.ProtocolVersion, session.ChipMajorRevId,
                session.RomRevId, session.MediaType);
    std::printf("    volume: %u sectors of %u bytes, %s\n", session.SectorCount, session.SectorSize,
                session.FileSystemName.data());
    ShowDriveTable(session);
    session.Close();
  }
}

// What GetDeviceInfo reports of the player.
void ShowDeviceInfo(kx7::Library& library, const std::string& serial) {
  DeviceInfo info{};
  const int code = library.GetDeviceInfo(serial.c_str(), &info);
  if (code != 0) {
    std::printf("device info: result %d\n", code);
    return;
  }
  std::printf("device: %s %s (%s), mode %s, serial %s at %s:, firmware %s, region %s\n",
              info.DisplayName, info.ModelCode, info.FullModelCode, info.Mode, info.Serial,
              info.DriveLetterText, info.FirmwareVersion, info.RegionCode);
}

int Update(kx7::sim::World& world, kx7::Library& library, const std::string& serial,
           const std::string& folder) {
  char text[30] = {};
  library.GetFWLibraryVersion(text);
  std::printf("kx7fw library %s", text);
  library.GetAPIVersion(text);
  std::printf(", API %s, simulated world\n\n", text);

  ShowPlayers(world, library);
  ShowDeviceInfo(library, serial);
  char local[16] = {};
  const int localCode = library.GetLocalVersion(folder.c_str(), local, sizeof local);
  std::printf("firmware file: %s (result %d)\n", localCode == 0 ? local : "-", localCode);
  const int need = library.NeedRecovery(serial.c_str(), folder.c_str());
  std::printf("recovery needed: %s (result %d)\n\n",
              need == 0   ? "yes"
              : need == 1 ? "no"
                          : "?",
              need);

  std::printf("normal update of %s:\n", serial.c_str());
  const std::uint64_t start = world.clock().now();
  int code;
  {
    PhasePrinter phases(world);
    code = library.DoNormalUpdate(serial.c_str(), folder.c_str());
  }
  std::printf("result %d: %s (%.3f s of virtual time)\n\n", code, NormalUpdateResultText(code),
              Seconds(world.clock().now() - start));

  // Like an updater application, give the player a moment to restart.
  char list[26];
  for (int second = 0; second < 30 && library.MSCDeviceList(list) == 0; ++second) world.sleep(1000);
  ShowDeviceInfo(library, serial);
  return code == 0 ? 0 : 1;
}

int Recover(kx7::sim::World& world, kx7::Library& library, const std::string& serial,
            const std::string& folder) {
  std::printf("kx7fw, simulated world\n\n");
  // The host looks at the player first: its settings go to the host.
  ShowDeviceInfo(library, serial);
  std::printf("the player is plugged back in with its recovery button held\n");
  world.unplug(0, world.clock().now());
  world.plugInForRecovery(0, world.clock().now() + 1000);
  world.sleep(2000);
  ShowDeviceInfo(library, serial);

  std::printf("\nrecovery update:\n");
  const std::uint64_t start = world.clock().now();
  int code;
  {
    PhasePrinter phases(world);
    code = library.DoRecoveryUpdate(serial.c_str(), folder.c_str());
  }
  std::printf("result %d: %s (%.3f s of virtual time)\n\n", code, RecoveryUpdateResultText(code),
              Seconds(world.clock().now() - start));
  ShowDeviceInfo(library, serial);
  return code == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string trace;
  std::string serial = DefaultScenario::kSerial;
  std::string folder = DefaultScenario::kFirmwareFolder;
  std::string command = "update";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--trace" && hasValue) {
      trace = argv[++i];
    } else if (arg == "--serial" && hasValue) {
      serial = argv[++i];
    } else if (arg == "--folder" && hasValue) {
      folder = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      PrintUsage();
      return 0;
    } else if (arg == "update" || arg == "info" || arg == "recover") {
      command = arg;
    } else {
      PrintUsage();
      return 2;
    }
  }

  kx7::sim::World world;
  kx7::sim::BuildDefaultScenario(world);
  kx7::Library library(world.services());
  int status = 0;
  if (command == "info") {
    ShowPlayers(world, library);
    ShowDeviceInfo(library, serial);
  } else if (command == "recover") {
    status = Recover(world, library, serial, folder);
  } else {
    status = Update(world, library, serial, folder);
  }

  if (!trace.empty()) {
    FILE* out = std::fopen(trace.c_str(), "w");
    if (!out) {
      std::fprintf(stderr, "kx7fw: cannot write %s\n", trace.c_str());
      return 1;
    }
    const std::string lines = world.transcript().toJsonLines();
    std::fwrite(lines.data(), 1, lines.size(), out);
    std::fclose(out);
  }
  return status;
}
