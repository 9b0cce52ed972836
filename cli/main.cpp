// kx7fw: the command-line updater. It is a host application like any other:
// it drives the library through the Library API. With no player backend on
// this system it runs against the built-in simulated world.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "api/library.h"
#include "device/device_session.h"
#include "kx7fw/kx7fw.h"
#include "sim/scenario.h"
#include "sim/world.h"

namespace {

void PrintUsage() {
  std::puts(
      "usage: kx7fw [--trace FILE] COMMAND\n"
      "\n"
      "Runs against the built-in simulated world: a Windows host with one\n"
      "Korvane Tessio Mirl player at E: and the firmware folder of the\n"
      "updater application.\n"
      "\n"
      "commands:\n"
      "  demo        list the players and show the first one's identity and drive table\n"
      "\n"
      "options:\n"
      "  --trace FILE   write the transcript of all device traffic (JSON Lines)");
}

void ShowDriveTable(const kx7::DeviceSession& session) {
  std::printf("  %-4s %-5s %-32s %-22s %12s %7s %s\n", "tag", "drive", "name", "type", "bytes",
              "sector", "version");
  for (const auto& [tag, entry] : session.Drives) {
    const auto tagName = kx7::DriveTagNames().find(tag);
    const auto typeName = kx7::DriveTypeNames().find(entry.DriveType);
    std::printf("  0x%02X %-5u %-32s %-22s %12llu %7u %u.%02u.%u\n", tag, entry.DriveNumber,
                tagName == kx7::DriveTagNames().end() ? "?" : std::string(tagName->second).c_str(),
                typeName == kx7::DriveTypeNames().end() ? "?" : std::string(typeName->second).c_str(),
                static_cast<unsigned long long>(entry.SizeInBytes), entry.SectorSize,
                entry.Version[0], entry.Version[1], entry.Version[2]);
  }
}

int Demo(kx7::sim::World& world, kx7::Library& library) {
  char list[26] = {};
  const int count = library.MSCDeviceList(list);
  std::printf("players in mass-storage mode: %d\n", count);

  char version[30] = {};
  library.GetFWLibraryVersion(version);
  std::printf("library version %s", version);
  library.GetAPIVersion(version);
  std::printf(", API version %s\n\n", version);

  kx7::DeviceSession session(world.services());
  for (char letter = 'B'; letter <= 'Z'; ++letter) {
    if (!((world.logicalDriveMask() >> (letter - 'A')) & 1u)) continue;
    if (!session.OpenByDriveLetter(letter)) continue;
    std::printf("player at %c:\n", letter);
    std::printf("  device kind %d, protocol version %d, chip 0x%04X, ROM 0x%04X, media type %d\n",
                session.Kind, session.ProtocolVersion, session.ChipMajorRevId, session.RomRevId,
                session.MediaType);
    std::printf("  volume: %u sectors of %u bytes, file system %s\n", session.SectorCount,
                session.SectorSize, session.FileSystemName.data());
    ShowDriveTable(session);
    session.Close();
    std::printf("\n");
  }
  std::printf("virtual time: %llu ms\n", static_cast<unsigned long long>(world.clock().now()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string trace;
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--trace" && i + 1 < argc) {
      trace = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      PrintUsage();
      return 0;
    } else {
      args.push_back(arg);
    }
  }
  if (args.empty() || args[0] != "demo") {
    PrintUsage();
    return 2;
  }

  kx7::sim::World world;
  kx7::sim::BuildDefaultScenario(world);
  kx7::Library library(world.services());
  const int status = Demo(world, library);

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
