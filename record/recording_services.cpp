#include "record/recording_services.h"

#include "record/pass_through_fields.h"

namespace kx7::record {

using sim::Event;
using sim::EventKind;

namespace {

// A data-out payload up to this size (an allocation table, a version
// stamp) is kept in the log; sector data is not.
constexpr std::uint32_t kKeptPayload = 512;
constexpr std::uint8_t kGood = 0x00;
constexpr std::uint8_t kCheckCondition = 0x02;

std::uint64_t MicrosecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
}

std::string StatusName(std::uint8_t status) {
  if (status == kGood) return "good";
  if (status == kCheckCondition) return "check-condition";
  static const char digits[] = "0123456789abcdef";
  return std::string("status-0x") + digits[status >> 4] + digits[status & 0xF];
}

}  // namespace

class RecordingServices::Volumes final : public platform::VolumeIo {
 public:
  explicit Volumes(RecordingServices& r) : r_(r), io_(r.inner_.volumes) {}

  std::uint32_t logicalDriveMask() override { return io_.logicalDriveMask(); }
  platform::DriveType driveType(std::string_view root) override { return io_.driveType(root); }
  std::string fileSystemName(std::string_view root) override { return io_.fileSystemName(root); }

  platform::Handle openDevice(std::string_view path) override {
    return r_.Opened(path, [&] { return io_.openDevice(path); });
  }
  void closeHandle(platform::Handle handle) override {
    r_.Closed(handle, [&] { io_.closeHandle(handle); });
  }

  bool scsiPassThrough(platform::Handle handle, std::span<std::uint8_t> request) override {
    Event event{.kind = EventKind::Scsi, .time = r_.now_(), .target = r_.PathOf(handle)};
    const auto asked = DecodePassThrough(request);
    if (asked) {
      event.bytes = asked->cdb;
      event.name = asked->dataIn ? "in" : (asked->transferLength ? "out" : "none");
      event.length = asked->transferLength;
      event.timeout = asked->timeoutSeconds;
      if (!asked->dataIn && asked->transferLength <= kKeptPayload)
        event.data.assign(asked->data.begin(), asked->data.end());
    }
    const auto start = std::chrono::steady_clock::now();
    const bool delivered = io_.scsiPassThrough(handle, request);
    event.durationUs = MicrosecondsSince(start);
    event.ok = delivered;
    if (!asked) {
      event.outcome = "malformed";
    } else if (!delivered) {
      event.outcome = "not-delivered";
    } else {
      // The answer is read from the block as the device left it.
      const auto answered = DecodePassThrough(request);
      const std::uint8_t status = answered ? answered->scsiStatus : kGood;
      event.outcome = StatusName(status);
      if (status != kGood && answered)
        event.sense.assign(answered->sense.begin(), answered->sense.end());
    }
    r_.Add(std::move(event));
    return delivered;
  }

  bool lockVolume(platform::Handle h) override {
    return Simple(EventKind::Lock, h, io_.lockVolume(h));
  }
  bool unlockVolume(platform::Handle h) override {
    return Simple(EventKind::Unlock, h, io_.unlockVolume(h));
  }
  bool dismountVolume(platform::Handle h) override {
    return Simple(EventKind::Dismount, h, io_.dismountVolume(h));
  }
  bool deleteDriveLayout(platform::Handle h) override {
    return Simple(EventKind::DeleteLayout, h, io_.deleteDriveLayout(h));
  }

  bool driveGeometry(platform::Handle handle, platform::DiskGeometry& geometry) override {
    const std::uint64_t t = r_.now_();
    const bool ok = io_.driveGeometry(handle, geometry);
    r_.Add(Event{.kind = EventKind::Geometry,
                 .time = t,
                 .target = r_.PathOf(handle),
                 .value = ok ? geometry.cylinders : 0,
                 .ok = ok});
    return ok;
  }

  bool setDriveLayout(platform::Handle handle, std::span<const std::uint8_t> layout) override {
    const std::uint64_t t = r_.now_();
    const bool ok = io_.setDriveLayout(handle, layout);
    r_.Add(Event{.kind = EventKind::SetLayout,
                 .time = t,
                 .target = r_.PathOf(handle),
                 .bytes = {layout.begin(), layout.end()},
                 .ok = ok});
    return ok;
  }

  bool readAt(platform::Handle handle, std::uint64_t offset, std::span<std::uint8_t> out) override {
    return Positioned(EventKind::Read, handle, offset, out.size(),
                      [&] { return io_.readAt(handle, offset, out); });
  }
  bool writeAt(platform::Handle handle, std::uint64_t offset,
               std::span<const std::uint8_t> data) override {
    return Positioned(EventKind::Write, handle, offset, data.size(),
                      [&] { return io_.writeAt(handle, offset, data); });
  }

 private:
  bool Simple(EventKind kind, platform::Handle handle, bool ok) {
    r_.Add(Event{.kind = kind, .time = r_.now_(), .target = r_.PathOf(handle), .ok = ok});
    return ok;
  }

  template <typename Call>
  bool Positioned(EventKind kind, platform::Handle handle, std::uint64_t offset, std::size_t length,
                  Call&& call) {
    const std::uint64_t t = r_.now_();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = call();
    r_.Add(Event{.kind = kind,
                 .time = t,
                 .target = r_.PathOf(handle),
                 .length = static_cast<std::uint32_t>(length),
                 .value = offset,
                 .ok = ok,
                 .durationUs = MicrosecondsSince(start)});
    return ok;
  }

  RecordingServices& r_;
  platform::VolumeIo& io_;
};

class RecordingServices::Hid final : public platform::HidTransport {
 public:
  explicit Hid(RecordingServices& r) : r_(r), hid_(r.inner_.hid) {}

  platform::Handle open(std::string_view path) override {
    return r_.Opened(path, [&] { return hid_.open(path); });
  }
  void close(platform::Handle handle) override {
    r_.Closed(handle, [&] { hid_.close(handle); });
  }

  bool readCaps(platform::Handle handle, platform::HidCaps& caps, std::uint32_t& status) override {
    const std::uint64_t t = r_.now_();
    const bool ok = hid_.readCaps(handle, caps, status);
    r_.Add(Event{.kind = EventKind::HidCaps, .time = t, .target = r_.PathOf(handle), .ok = ok});
    return ok;
  }

  bool writeReport(platform::Handle handle, std::span<const std::uint8_t> report) override {
    const std::uint64_t t = r_.now_();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = hid_.writeReport(handle, report);
    r_.Add(Event{.kind = EventKind::HidReport,
                 .time = t,
                 .target = r_.PathOf(handle),
                 .bytes = {report.begin(), report.end()},
                 .length = static_cast<std::uint32_t>(report.size()),
                 .ok = ok,
                 .durationUs = MicrosecondsSince(start)});
    return ok;
  }

 private:
  RecordingServices& r_;
  platform::HidTransport& hid_;
};

class RecordingServices::Registry final : public platform::Registry {
 public:
  explicit Registry(RecordingServices& r) : r_(r), registry_(r.inner_.registry) {}

  std::optional<platform::RegistryKey> openKey(platform::RegistryRoot root, std::string_view path,
                                               std::uint32_t access) override {
    return Keep(root, path, registry_.openKey(root, path, access));
  }
  std::optional<platform::RegistryKey> createKey(platform::RegistryRoot root,
                                                 std::string_view path) override {
    return Keep(root, path, registry_.createKey(root, path));
  }
  bool queryValue(platform::RegistryKey key, std::string_view name, std::span<std::uint8_t> buffer,
                  std::uint32_t& length) override {
    return registry_.queryValue(key, name, buffer, length);
  }
  bool setValue(platform::RegistryKey key, std::string_view name, platform::RegistryType type,
                std::span<const std::uint8_t> data) override {
    const std::uint64_t t = r_.now_();
    const bool ok = registry_.setValue(key, name, type, data);
    const auto it = keys_.find(key.value);
    r_.Add(Event{.kind = EventKind::RegistryWrite,
                 .time = t,
                 .target = it == keys_.end() ? std::string() : it->second,
                 .name = std::string(name),
                 .bytes = {data.begin(), data.end()},
                 .value = static_cast<std::uint64_t>(type),
                 .ok = ok});
    return ok;
  }
  void closeKey(platform::RegistryKey key) override {
    keys_.erase(key.value);
    registry_.closeKey(key);
  }

 private:
  std::optional<platform::RegistryKey> Keep(platform::RegistryRoot root, std::string_view path,
                                            std::optional<platform::RegistryKey> key) {
    if (key)
      keys_[key->value] =
          (root == platform::RegistryRoot::LocalMachine ? "HKLM\\" : "HKCU\\") + std::string(path);
    return key;
  }

  RecordingServices& r_;
  platform::Registry& registry_;
  std::map<std::uintptr_t, std::string> keys_;
};

class RecordingServices::Files final : public platform::FileSystem {
 public:
  explicit Files(RecordingServices& r) : r_(r), files_(r.inner_.files) {}

  std::string modulePath() override { return files_.modulePath(); }
  bool createDirectory(std::string_view path) override {
    const std::uint64_t t = r_.now_();
    const bool ok = files_.createDirectory(path);
    r_.Add(Event{.kind = EventKind::Directory, .time = t, .target = std::string(path), .ok = ok});
    return ok;
  }
  bool copyFileNoOverwrite(std::string_view from, std::string_view to) override {
    const std::uint64_t t = r_.now_();
    const bool ok = files_.copyFileNoOverwrite(from, to);
    r_.Add(Event{.kind = EventKind::FileCopy,
                 .time = t,
                 .target = std::string(from),
                 .name = std::string(to),
                 .ok = ok});
    return ok;
  }
  bool pathExists(std::string_view path) override { return files_.pathExists(path); }
  std::unique_ptr<platform::InputFile> openForReading(std::string_view path,
                                                      platform::OpenMode mode) override {
    return files_.openForReading(path, mode);
  }

 private:
  RecordingServices& r_;
  platform::FileSystem& files_;
};

// Shell notifications, the running-object table, the system version and
// the waits.
class RecordingServices::Host final : public platform::Shell,
                                      public platform::ComServices,
                                      public platform::SystemInfo,
                                      public platform::Clock {
 public:
  explicit Host(RecordingServices& r) : r_(r) {}

  void changeNotify(std::uint32_t events, std::uint32_t flags, std::string_view path) override {
    r_.inner_.shell.changeNotify(events, flags, path);
    r_.Add(Event{.kind = EventKind::Notify,
                 .time = r_.now_(),
                 .target = std::string(path),
                 .length = flags,
                 .value = events});
  }

  platform::HResult registerRunningObject(const platform::Guid& classId,
                                          platform::ComUnknown& object, std::uint32_t flags,
                                          std::uint32_t& cookie) override {
    const platform::HResult hr =
        r_.inner_.com.registerRunningObject(classId, object, flags, cookie);
    r_.Add(Event{.kind = EventKind::RotRegister,
                 .time = r_.now_(),
                 .value = cookie,
                 .ok = hr == platform::kSOk});
    return hr;
  }
  platform::HResult revokeRunningObject(std::uint32_t cookie) override {
    const platform::HResult hr = r_.inner_.com.revokeRunningObject(cookie);
    r_.Add(Event{.kind = EventKind::RotRevoke,
                 .time = r_.now_(),
                 .value = cookie,
                 .ok = hr == platform::kSOk});
    return hr;
  }
  std::string classIdText(const platform::Guid& classId) override {
    return r_.inner_.com.classIdText(classId);
  }
  std::string toAnsi(const char16_t* text) override { return r_.inner_.com.toAnsi(text); }

  platform::OsVersion osVersion() override { return r_.inner_.system.osVersion(); }

  void sleep(std::uint32_t milliseconds) override {
    r_.inner_.clock.sleep(milliseconds);
    r_.Add(Event{.kind = EventKind::Sleep, .time = r_.now_(), .value = milliseconds});
  }

 private:
  RecordingServices& r_;
};

RecordingServices::RecordingServices(const platform::Services& inner, Now now, Sink sink)
    : inner_(inner), now_(std::move(now)), sink_(std::move(sink)) {
  volumes_ = std::make_unique<Volumes>(*this);
  hid_ = std::make_unique<Hid>(*this);
  registry_ = std::make_unique<Registry>(*this);
  files_ = std::make_unique<Files>(*this);
  host_ = std::make_unique<Host>(*this);
}

RecordingServices::~RecordingServices() = default;

platform::Services RecordingServices::services() {
  return platform::Services{*volumes_, inner_.devices, *hid_,  *registry_, *host_,
                            *host_,    *files_,        *host_, *host_};
}

void RecordingServices::Add(Event event) {
  if (sink_) sink_(event);
}

platform::Handle RecordingServices::Opened(std::string_view path,
                                           const std::function<platform::Handle()>& open) {
  const std::uint64_t t = now_();
  const platform::Handle handle = open();
  if (handle.isOpen()) paths_[handle.value()] = std::string(path);
  Add(Event{.kind = EventKind::Open,
            .time = t,
            .target = std::string(path),
            .value = handle.value(),
            .ok = handle.isOpen()});
  return handle;
}

void RecordingServices::Closed(platform::Handle handle, const std::function<void()>& close) {
  const std::uint64_t t = now_();
  const auto it = paths_.find(handle.value());
  const bool known = it != paths_.end();
  close();
  Add(Event{.kind = EventKind::Close,
            .time = t,
            .target = known ? it->second : std::string(),
            .value = handle.value(),
            .ok = known});
  if (known) paths_.erase(it);
}

std::string RecordingServices::PathOf(platform::Handle handle) const {
  const auto it = paths_.find(handle.value());
  return it == paths_.end() ? std::string() : it->second;
}

}  // namespace kx7::record
