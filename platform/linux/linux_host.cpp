#include "platform/linux/linux_host.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace kx7::linux_backend {

namespace {
constexpr platform::HResult kMkEUnavailable = static_cast<platform::HResult>(0x800401E3);

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}
}  // namespace

LinuxHost::~LinuxHost() {
  for (auto& [cookie, object] : running_) object->Release();
}

void LinuxHost::changeNotify(std::uint32_t, std::uint32_t, std::string_view) {}

platform::HResult LinuxHost::registerRunningObject(const platform::Guid&,
                                                   platform::ComUnknown& object, std::uint32_t,
                                                   std::uint32_t& cookie) {
  std::lock_guard lock(mutex_);
  object.AddRef();  // the table's own reference, as the real one keeps
  cookie = nextCookie_++;
  running_[cookie] = &object;
  return platform::kSOk;
}

platform::HResult LinuxHost::revokeRunningObject(std::uint32_t cookie) {
  platform::ComUnknown* object = nullptr;
  {
    std::lock_guard lock(mutex_);
    const auto it = running_.find(cookie);
    if (it == running_.end()) return kMkEUnavailable;
    object = it->second;
    running_.erase(it);
  }
  object->Release();
  return platform::kSOk;
}

std::string LinuxHost::classIdText(const platform::Guid& id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.data1,
                id.data2, id.data3, id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4],
                id.data4[5], id.data4[6], id.data4[7]);
  return text;
}

std::string LinuxHost::toAnsi(const char16_t* text) {
  // The code page of a Linux process is UTF-8; an unpaired surrogate becomes
  // '?', as an unmappable character does on Windows.
  std::string out;
  for (; text && *text; ++text) {
    const char16_t c = *text;
    if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (char32_t{text[1]} - 0xDC00));
      ++text;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out += '?';
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

platform::OsVersion LinuxHost::osVersion() {
  return {6, 1};
}

void LinuxHost::sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::size_t LinuxHost::runningObjectCount() const {
  std::lock_guard lock(mutex_);
  return running_.size();
}

}  // namespace kx7::linux_backend
