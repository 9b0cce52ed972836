#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kx7::sim {

enum class EventKind {
  Scsi,           // a pass-through request: target, cdb, direction, length, timeout,
                  // outcome, and the payload of a small data-out transfer
  Open,           // CreateFileA of a volume, disk or HID device
  Close,          // CloseHandle
  Lock,           // FSCTL_LOCK_VOLUME
  Unlock,         // FSCTL_UNLOCK_VOLUME
  Dismount,       // FSCTL_DISMOUNT_VOLUME
  Geometry,       // IOCTL_DISK_GET_DRIVE_GEOMETRY
  DeleteLayout,   // IOCTL_DISK_DELETE_DRIVE_LAYOUT
  SetLayout,      // IOCTL_DISK_SET_DRIVE_LAYOUT (bytes: the layout)
  Read,           // positioned ReadFile (value: offset)
  Write,          // positioned WriteFile (value: offset)
  Notify,         // SHChangeNotify (value: events, length: flags)
  Sleep,          // value: milliseconds; time: virtual time after the sleep
  HidCaps,        // HidP_GetCaps
  HidReport,      // one output report (bytes)
  RegistryWrite,  // target: key, name: value, bytes: data, value: type, length: key's access
  FileCopy,       // target: source, name: destination
  Directory,      // CreateDirectoryA
  Player,         // the player changed state (name: new state)
  RotRegister,    // running-object table registration (value: cookie)
  RotRevoke,
};

const char* ToString(EventKind kind);

struct Event {
  EventKind kind = EventKind::Scsi;
  std::uint64_t time = 0;           // virtual milliseconds
  std::string target;               // device path, key path, file path, player serial
  std::string name;                 // value name, destination, state, direction
  std::vector<std::uint8_t> bytes;  // CDB, report, value data
  std::uint32_t length = 0;         // transfer length, report length, flags
  std::uint32_t timeout = 0;        // seconds (SCSI)
  std::uint64_t value = 0;          // ms, events, offset, cookie
  bool ok = true;                   // the call reported success
  std::string outcome;              // SCSI: "good", "check-condition", "not-delivered",
                                    // "short" or "altered" (answered GOOD by a fault rule)
  std::vector<std::uint8_t> data;   // SCSI: a small payload sent to the device
  // Recorded on real hardware only (the simulated world leaves them empty):
  // the sense bytes of an answer that was not GOOD, and how long the call took.
  std::vector<std::uint8_t> sense;
  std::uint64_t durationUs = 0;
};

// Every exchange between the library and the simulated world, in order.
class Transcript {
 public:
  void add(Event event);
  // Called after each event is recorded; lets a test act at a precise moment
  // of an operation (for instance call the library again while it is busy).
  void setListener(std::function<void(const Event&)> listener) { listener_ = std::move(listener); }
  const std::vector<Event>& events() const { return events_; }
  std::vector<Event> of(EventKind kind) const;
  void clear() { events_.clear(); }
  std::size_t size() const { return events_.size(); }

  // One JSON object per event and line.
  std::string toJsonLines() const;

 private:
  std::vector<Event> events_;
  std::function<void(const Event&)> listener_;
};

std::string ToHex(const std::vector<std::uint8_t>& bytes);

// One event as the JSON object of its transcript line, without the newline.
std::string ToJsonLine(const Event& event);

}  // namespace kx7::sim
