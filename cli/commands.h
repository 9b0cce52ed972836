#pragma once

// The tool's commands. Each drives the library the way an updater
// application drives the twelve exports and returns the tool's exit code.

#include <cstdint>
#include <string>

#include "api/library.h"
#include "cli/feedback.h"
#include "cli/host_world.h"
#include "cli/report.h"

namespace kx7::cli {

struct Context {
  HostWorld& world;
  Library& library;
  Feedback& feedback;
  Report& report;
};

int RunList(Context& c);
int RunInfo(Context& c, std::string serial);
int RunLocalVersion(Context& c, const std::string& folder);
int RunInspect(Context& c, const std::string& file);
int RunNeedRecovery(Context& c, const std::string& serial, const std::string& folder);
int RunUpdate(Context& c, const std::string& serial, const std::string& folder);
int RunRecover(Context& c, const std::string& folder);

struct ImageOptions {
  std::string file;
  std::uint32_t sectors = 0;
  std::uint32_t sectorSize = 512;
  std::string label;
};
int RunFormatImage(Report& report, const ImageOptions& options);
int RunDemo(Report& report, ProgressStyle style);

}  // namespace kx7::cli
