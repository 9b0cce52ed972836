#pragma once

// A recording decorator over the platform services a host application hands
// to the library: every call is passed on unchanged, and every exchange with
// a device (pass-through requests with their status and sense, HID reports,
// volume and disk calls, waits) and every change the library makes to the
// host (file copies, folders, registry values, shell notifications,
// running-object registrations) is told to a sink as one transcript event,
// in the format of the simulated world's own transcript. On real hardware
// this is the log a failed update leaves for whoever supports it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "sim/host/transcript.h"

namespace kx7::record {

class RecordingServices {
 public:
  using Sink = std::function<void(const sim::Event&)>;
  // The time stamp of an event, in milliseconds (the simulated world's
  // virtual time, or real time since the tool started).
  using Now = std::function<std::uint64_t()>;

  RecordingServices(const platform::Services& inner, Now now, Sink sink);
  ~RecordingServices();
  RecordingServices(const RecordingServices&) = delete;
  RecordingServices& operator=(const RecordingServices&) = delete;

  // The services to hand to the library in place of the inner ones.
  platform::Services services();

 private:
  class Volumes;
  class Hid;
  class Registry;
  class Files;
  class Host;

  void Add(sim::Event event);
  // A device opened or closed through `open` / `close`, recorded with the
  // path the handle leads to.
  platform::Handle Opened(std::string_view path, const std::function<platform::Handle()>& open);
  void Closed(platform::Handle handle, const std::function<void()>& close);
  // Where a handle leads, as it was opened; "" for a handle never seen.
  std::string PathOf(platform::Handle handle) const;

  platform::Services inner_;
  Now now_;
  Sink sink_;
  std::map<std::uintptr_t, std::string> paths_;
  std::unique_ptr<Volumes> volumes_;
  std::unique_ptr<Hid> hid_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<Files> files_;
  std::unique_ptr<Host> host_;
};

}  // namespace kx7::record
