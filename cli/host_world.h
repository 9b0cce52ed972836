#pragma once

// The world the tool works in: the machine's own players through the
// build's real backend, or a simulated world - the built-in one or one
// described in a scenario file. Whatever it is, the library gets its
// services through the recording decorator, so that the tool sees every
// exchange (traffic_watch.h) and `--log FILE` can keep them.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "cli/backups.h"
#include "cli/real_backend.h"
#include "cli/traffic_watch.h"
#include "cli/user_files.h"
#include "platform/platform.h"
#include "record/recording_services.h"
#include "sim/world.h"

namespace kx7::cli {

struct WorldOptions {
  // Set: a simulated world; "" the built-in one, else a scenario file.
  std::optional<std::string> simulation;
  bool realTime = false;  // the simulated waits also take real time
  std::string trace;      // the simulated world's transcript, written as it goes
  std::string log;        // every exchange the library has, written as it goes
};

// A file of JSON Lines, each line out as soon as it is written.
class LineFile;

class HostWorld {
 public:
  // Null, with `error` set, when the world cannot be had or a file asked for
  // cannot be written (nothing has been done then).
  static std::unique_ptr<HostWorld> Open(const WorldOptions& options, std::string& error);
  ~HostWorld();

  // The services the library gets (recorded).
  platform::Services Services();
  TrafficWatch& Traffic() { return traffic_; }
  // What the tool runs on, for the first line of its report.
  const std::string& Description() const { return description_; }
  bool Simulated() const { return sim_ != nullptr; }
  sim::World* Simulation() { return sim_.get(); }
  RealBackend* Real() { return real_.get(); }
  // Seconds since the world was opened: virtual on a simulated world.
  double Seconds() const;
  // Lets `milliseconds` pass, as a host application waiting for a player.
  void Wait(std::uint32_t milliseconds);
  // On a simulated world: the player at `letter` is plugged in again with
  // its recovery button held, as a person would do. False on real players.
  bool HoldRecoveryButton(char letter);

  // What the world suggests when the command line leaves them out.
  const std::string& DefaultFolder() const { return defaultFolder_; }

  // Frees the player's disk at `letter` for the library; "" when it is
  // free, else what the user must do. Nothing to do on a simulated world.
  std::string PrepareDisk(char letter);
  std::string DiskInUse(char letter);
  // A device node the last operation could not use, as a message; "".
  std::string TakeAccessProblem();

  UserFiles& PlayerFiles() { return *userFiles_; }
  Backups& SettingsBackups() { return *backups_; }
  // The tool's folder on this machine for what outlives a run; "" on a
  // simulated world (it ends with the run).
  std::string StateFolder();

  // The simulated players as they stand, into `path` (JSON).
  bool SaveState(const std::string& path, const std::string& firmwareFolder, std::string& error);

 private:
  HostWorld() = default;
  bool OpenFiles(const WorldOptions& options, std::string& error);

  std::unique_ptr<sim::World> sim_;
  std::unique_ptr<RealBackend> real_;
  std::unique_ptr<record::RecordingServices> recorder_;
  TrafficWatch traffic_;
  std::unique_ptr<LineFile> trace_;
  std::unique_ptr<LineFile> log_;
  std::unique_ptr<UserFiles> userFiles_;
  std::unique_ptr<Backups> backups_;
  std::string description_;
  std::string defaultFolder_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Whether `path` can be written: its folder exists and takes a new file,
// or the file exists and may be overwritten. `why` says otherwise.
bool CanWrite(const std::string& path, std::string& why);

}  // namespace kx7::cli
