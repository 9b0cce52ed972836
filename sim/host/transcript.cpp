#include "sim/host/transcript.h"

#include <cstdio>

namespace kx7::sim {

const char* ToString(EventKind kind) {
  switch (kind) {
    case EventKind::Scsi:
      return "scsi";
    case EventKind::Open:
      return "open";
    case EventKind::Close:
      return "close";
    case EventKind::Lock:
      return "lock";
    case EventKind::Unlock:
      return "unlock";
    case EventKind::Dismount:
      return "dismount";
    case EventKind::Geometry:
      return "geometry";
    case EventKind::DeleteLayout:
      return "delete-layout";
    case EventKind::SetLayout:
      return "set-layout";
    case EventKind::Read:
      return "read";
    case EventKind::Write:
      return "write";
    case EventKind::Notify:
      return "notify";
    case EventKind::Sleep:
      return "sleep";
    case EventKind::HidCaps:
      return "hid-caps";
    case EventKind::HidReport:
      return "hid-report";
    case EventKind::RegistryWrite:
      return "registry-write";
    case EventKind::FileCopy:
      return "file-copy";
    case EventKind::Directory:
      return "directory";
    case EventKind::Player:
      return "player";
    case EventKind::RotRegister:
      return "rot-register";
    case EventKind::RotRevoke:
      return "rot-revoke";
  }
  return "unknown";
}

void Transcript::add(Event event) {
  events_.push_back(std::move(event));
  if (listener_) {
    // The listener may record events of its own or replace itself: it runs
    // from a copy and sees a copy.
    const auto listener = listener_;
    const Event recorded = events_.back();
    listener(recorded);
  }
}

std::vector<Event> Transcript::of(EventKind kind) const {
  std::vector<Event> out;
  for (const Event& e : events_)
    if (e.kind == kind) out.push_back(e);
  return out;
}

std::string ToHex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0xF];
  }
  return out;
}

namespace {

void AppendJsonString(std::string& out, const std::string& text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void Field(std::string& out, const char* key, const std::string& text) {
  out += ",\"";
  out += key;
  out += "\":";
  AppendJsonString(out, text);
}

void Field(std::string& out, const char* key, std::uint64_t number) {
  out += ",\"";
  out += key;
  out += "\":";
  out += std::to_string(number);
}

}  // namespace

std::string ToJsonLine(const Event& e) {
  std::string out = "{\"t\":" + std::to_string(e.time);
  Field(out, "op", ToString(e.kind));
  switch (e.kind) {
    case EventKind::Scsi:
      Field(out, "target", e.target);
      Field(out, "cdb", ToHex(e.bytes));
      Field(out, "dir", e.name);
      Field(out, "len", e.length);
      Field(out, "timeout", e.timeout);
      Field(out, "outcome", e.outcome);
      if (!e.data.empty()) Field(out, "data", ToHex(e.data));
      if (!e.sense.empty()) Field(out, "sense", ToHex(e.sense));
      break;
    case EventKind::Sleep:
      Field(out, "ms", e.value);
      break;
    case EventKind::Notify:
      Field(out, "path", e.target);
      Field(out, "events", e.value);
      Field(out, "flags", e.length);
      break;
    case EventKind::HidReport:
      Field(out, "target", e.target);
      Field(out, "len", e.length);
      Field(out, "data", ToHex(e.bytes));
      break;
    case EventKind::RegistryWrite:
      Field(out, "key", e.target);
      Field(out, "value", e.name);
      Field(out, "data", ToHex(e.bytes));
      break;
    case EventKind::FileCopy:
      Field(out, "from", e.target);
      Field(out, "to", e.name);
      break;
    case EventKind::Read:
    case EventKind::Write:
      Field(out, "target", e.target);
      Field(out, "offset", e.value);
      Field(out, "len", e.length);
      break;
    case EventKind::Player:
      Field(out, "serial", e.target);
      Field(out, "state", e.name);
      break;
    case EventKind::RotRegister:
    case EventKind::RotRevoke:
      Field(out, "cookie", e.value);
      break;
    default:
      Field(out, "target", e.target);
      if (!e.bytes.empty()) Field(out, "data", ToHex(e.bytes));
      break;
  }
  if (e.durationUs) Field(out, "us", e.durationUs);
  out += e.ok ? ",\"ok\":true}" : ",\"ok\":false}";
  return out;
}

std::string Transcript::toJsonLines() const {
  std::string out;
  for (const Event& e : events_) out += ToJsonLine(e) + "\n";
  return out;
}

}  // namespace kx7::sim
