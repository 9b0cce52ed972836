#pragma once

// The tool's commands. Each drives the library the way an updater
// application drives the twelve exports and returns the tool's exit code.

#include <cstdint>
#include <string>

#include "api/library.h"
#include "cli/arguments.h"
#include "cli/feedback.h"
#include "cli/host_world.h"
#include "cli/report.h"

namespace kx7::cli {

struct Context {
  HostWorld& world;
  Library& library;
  Feedback& feedback;
  Report& report;
  Invocation invocation;
  std::string saveState;  // --save-state FILE: the simulated players afterwards
};

// The player and firmware folder a command was given, and whether each was
// given at all (a simulated world offers its own folder).
struct Target {
  std::string serial;
  bool serialGiven = false;
  std::string folder;
};

struct UpdateOptions {
  Target target;
  bool check = false;       // every check, nothing sent
  bool force = false;       // re-flash the version the player has
  bool allowOlder = false;  // a downgrade
};

struct RecoverOptions {
  Target target;
  bool check = false;
  bool yes = false;           // the data drive may be erased without asking
  bool discardFiles = false;  // do not keep the user's files
  bool force = false;         // past the checks that advise against it
};

int RunList(Context& c);
int RunInfo(Context& c, const Target& target);
int RunLocalVersion(Context& c, const std::string& folder);
int RunInspect(Context& c, const std::string& file);
int RunNeedRecovery(Context& c, const Target& target);
int RunUpdate(Context& c, const UpdateOptions& options);
int RunRecover(Context& c, const RecoverOptions& options);
int RunManifest(Context& c, const std::string& folder, const std::string& output);
int RunBackups(Context& c, const std::string& action, const std::string& serial);

struct ImageOptions {
  std::string file;
  std::uint32_t sectors = 0;
  std::uint32_t sectorSize = 512;
  std::string label;
  bool force = false;  // an existing file may be replaced
};
int RunFormatImage(Report& report, const ImageOptions& options);
int RunDemo(Report& report, ProgressStyle style, const std::string& program);

}  // namespace kx7::cli
