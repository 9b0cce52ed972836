// Files and folders on the host's drives, and the host's own module path.
#include <windows.h>

#include <shlwapi.h>

#include <algorithm>
#include <limits>

#include "platform/win32/backend.h"
#include "platform/win32/native.h"

namespace kx7::platform::win32 {

namespace {

class Win32InputFile final : public InputFile {
 public:
  explicit Win32InputFile(HANDLE file) : file_(file) {}
  ~Win32InputFile() override { CloseHandle(file_); }

  std::optional<std::uint64_t> size() override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_, &size)) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    std::size_t done = 0;
    while (done < out.size()) {
      // A positioned read on a synchronous handle: the offset travels in the
      // OVERLAPPED record and the call returns when the bytes are there.
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset + done);
      at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
      const DWORD wanted = static_cast<DWORD>(
          std::min<std::size_t>(out.size() - done, std::numeric_limits<DWORD>::max()));
      DWORD got = 0;
      if (!ReadFile(file_, out.data() + done, wanted, &got, &at) || got == 0) break;
      done += got;
    }
    return done;
  }

 private:
  HANDLE file_;
};

}  // namespace

std::string Win32FileSystem::modulePath() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, std::min<DWORD>(length, MAX_PATH));
}

bool Win32FileSystem::createDirectory(std::string_view path) {
  return CreateDirectoryA(Terminated(path).c_str(), nullptr) != 0;
}

bool Win32FileSystem::copyFileNoOverwrite(std::string_view from, std::string_view to) {
  return CopyFileA(Terminated(from).c_str(), Terminated(to).c_str(), TRUE) != 0;
}

bool Win32FileSystem::pathExists(std::string_view path) {
  return PathFileExistsA(Terminated(path).c_str()) != 0;
}

std::unique_ptr<InputFile> Win32FileSystem::openForReading(std::string_view path, OpenMode) {
  // Text and binary reads see the same bytes here: a text open only ever
  // tells whether the file is there.
  const HANDLE file =
      CreateFileA(Terminated(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32InputFile>(file);
}

}  // namespace kx7::platform::win32
