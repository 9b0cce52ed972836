#include "cli/host_world.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cli/console.h"
#include "cli/signal_window.h"
#include "cli/sim_user_files.h"
#include "cli/world_state.h"
#include "sim/scenario/default_scenario.h"
#include "sim/scenario/scenario_file.h"

namespace kx7::cli {

class LineFile {
 public:
  static std::unique_ptr<LineFile> Open(const std::string& path, std::string& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      error = "cannot write " + path + ": " + std::strerror(errno);
      return nullptr;
    }
    return std::unique_ptr<LineFile>(new LineFile(fd, path));
  }
  ~LineFile() { close(fd_); }

  // One write per line: a run that is killed leaves every line it made.
  void Write(const std::string& line) {
    if (failed_) return;
    std::string_view rest(line);
    while (!rest.empty()) {
      const ssize_t n = write(fd_, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed_ = true;
        console::Err("kx7fw: writing " + path_ + " failed: " + std::strerror(errno) + "\n");
        return;
      }
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  }

 private:
  LineFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
  bool failed_ = false;
};

bool CanWrite(const std::string& path, std::string& why) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::exists(path, error)) {
    if (fs::is_directory(path, error)) {
      why = path + " is a folder";
      return false;
    }
    if (access(path.c_str(), W_OK) != 0) {
      why = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  fs::path parent = fs::path(path).parent_path();
  if (parent.empty()) parent = ".";
  if (!fs::is_directory(parent, error)) {
    why = "cannot write " + path + ": there is no folder " + parent.string();
    return false;
  }
  if (access(parent.c_str(), W_OK) != 0) {
    why = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool HostWorld::OpenFiles(const WorldOptions& options, std::string& error) {
  if (!options.trace.empty()) {
    if (!sim_) {
      error =
          "--trace writes a simulated world's transcript; on real players --log FILE keeps "
          "every exchange";
      return false;
    }
    trace_ = LineFile::Open(options.trace, error);
    if (!trace_) return false;
  }
  if (!options.log.empty()) {
    log_ = LineFile::Open(options.log, error);
    if (!log_) return false;
  }
  return true;
}

std::unique_ptr<HostWorld> HostWorld::Open(const WorldOptions& options, std::string& error) {
  std::unique_ptr<HostWorld> world(new HostWorld);
  if (!options.simulation) {
    world->real_ = OpenRealBackend();
    if (world->real_) world->description_ = world->real_->Description();
  }
  if (!world->real_) {
    world->sim_ = std::make_unique<sim::World>();
    if (options.simulation && !options.simulation->empty()) {
      sim::ScenarioInfo info;
      if (!sim::LoadScenarioFile(*options.simulation, *world->sim_, info, error)) return nullptr;
      world->description_ = "the simulated world of " + *options.simulation +
                            (info.name.empty() ? "" : " (" + info.name + ")");
      world->defaultFolder_ = info.firmwareFolder;
    } else {
      sim::BuildDefaultScenario(*world->sim_);
      world->description_ = options.simulation
                                ? "the built-in simulated world"
                                : "the built-in simulated world (this build has no backend for "
                                  "real players)";
      world->defaultFolder_ = sim::DefaultScenario::kFirmwareFolder;
    }
    world->sim_->setRealTime(options.realTime);
    // A stalled request waits for a signal to arrive, or for the reader of
    // standard output to go away: a test's way to act at one chosen moment
    // of an update.
    world->sim_->setStallHandler([](std::uint32_t ms) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
      while (!SignalWindow::AnyPending() && !console::OutGone() &&
             std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
  }
  if (!world->OpenFiles(options, error)) return nullptr;

  HostWorld* self = world.get();
  if (self->trace_) {
    // What loading the world recorded, then every event as it is made.
    for (const sim::Event& event : self->sim_->transcript().events())
      self->trace_->Write(sim::ToJsonLine(event) + "\n");
    self->sim_->transcript().setListener(
        [self](const sim::Event& event) { self->trace_->Write(sim::ToJsonLine(event) + "\n"); });
  }
  const platform::Services inner = self->sim_ ? self->sim_->services() : self->real_->Services();
  self->recorder_ = std::make_unique<record::RecordingServices>(
      inner,
      [self] {
        if (self->sim_) return self->sim_->clock().now();
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - self->start_)
                                              .count());
      },
      [self](const sim::Event& event) {
        self->traffic_.See(event);
        if (self->log_) self->log_->Write(sim::ToJsonLine(event) + "\n");
      });
  if (self->sim_) {
    self->userFiles_ = MakeSimUserFiles(*self->sim_);
    self->backups_ = MakeSimBackups(*self->sim_);
  } else {
    self->userFiles_ = self->real_->MakeUserFiles();
    RealBackend* real = self->real_.get();
    self->backups_ = MakeRealBackups(
        inner.files, [real](std::string_view path) { return real->HostPath(path); });
  }
  return world;
}

HostWorld::~HostWorld() {
  if (sim_) sim_->transcript().setListener(nullptr);
}

platform::Services HostWorld::Services() {
  return recorder_->services();
}

std::string HostWorld::PrepareDisk(char letter) {
  return real_ ? real_->PrepareDisk(letter) : "";
}

std::string HostWorld::DiskInUse(char letter) {
  return real_ ? real_->DiskInUse(letter) : "";
}

std::string HostWorld::TakeAccessProblem() {
  return real_ ? real_->TakeAccessProblem() : "";
}

std::string HostWorld::StateFolder() {
  return real_ ? real_->StateFolder() : "";
}

double HostWorld::Seconds() const {
  if (sim_) return static_cast<double>(sim_->clock().now()) / 1000.0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void HostWorld::Wait(std::uint32_t milliseconds) {
  Services().clock.sleep(milliseconds);
}

bool HostWorld::HoldRecoveryButton(char letter) {
  if (!sim_) return false;
  for (std::size_t i = 0; i < sim_->playerCount(); ++i) {
    if (sim_->player(i).mode != sim::PlayerMode::Normal || sim_->player(i).letter != letter)
      continue;
    const std::uint64_t now = sim_->clock().now();
    sim_->unplug(i, now);
    sim_->plugInForRecovery(i, now + 1000);
    sim_->sleep(2000);
    return true;
  }
  return false;
}

bool HostWorld::SaveState(const std::string& path, const std::string& firmwareFolder,
                          std::string& error) {
  if (!sim_) {
    error = "--save-state describes a simulated world";
    return false;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << WorldState(*sim_, sim_->services().files, firmwareFolder).dump(2) << "\n";
  out.close();
  if (!out) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace kx7::cli
