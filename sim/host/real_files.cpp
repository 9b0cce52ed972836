#include "sim/host/real_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace kx7::sim {

namespace {

class RealInputFile final : public platform::InputFile {
 public:
  RealInputFile(std::ifstream stream, std::uint64_t size, std::uint64_t readable)
      : stream_(std::move(stream)), size_(size), readable_(readable) {}

  std::optional<std::uint64_t> size() override { return size_; }

  std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    if (offset >= readable_) return 0;
    const auto wanted =
        static_cast<std::streamsize>(std::min<std::uint64_t>(out.size(), readable_ - offset));
    stream_.clear();
    stream_.seekg(static_cast<std::streamoff>(offset));
    stream_.read(reinterpret_cast<char*>(out.data()), wanted);
    return static_cast<std::size_t>(stream_.gcount());
  }

 private:
  std::ifstream stream_;
  std::uint64_t size_;
  std::uint64_t readable_;
};

}  // namespace

bool IsRealPath(std::string_view path) {
  return !path.empty() && path.front() == '/';
}

bool RealPathExists(std::string_view path) {
  std::error_code error;
  return IsRealPath(path) && std::filesystem::exists(std::filesystem::path(path), error);
}

std::unique_ptr<platform::InputFile> OpenRealFile(std::string_view path,
                                                  std::optional<std::uint64_t> readableBytes) {
  if (!IsRealPath(path)) return nullptr;
  const std::filesystem::path file(path);
  std::error_code error;
  // A folder opens with ifstream on some systems; CreateFileA would not.
  if (!std::filesystem::is_regular_file(file, error)) return nullptr;
  std::ifstream stream(file, std::ios::binary);
  if (!stream) return nullptr;
  stream.seekg(0, std::ios::end);
  const std::streamoff end = stream.tellg();
  if (end < 0) return nullptr;
  const auto size = static_cast<std::uint64_t>(end);
  const std::uint64_t readable = std::min(size, readableBytes.value_or(size));
  return std::make_unique<RealInputFile>(std::move(stream), size, readable);
}

}  // namespace kx7::sim
