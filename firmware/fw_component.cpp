#include "firmware/fw_component.h"

#include <array>
#include <cstring>
#include <new>

#include "util/byte_order.h"

namespace kx7 {

namespace {

// Nothing shorter can hold the header fields we read.
constexpr std::size_t kMinimumFileSize = 0x60;

constexpr std::size_t kSignatureOffset = 0x14;
constexpr std::size_t kLayoutMarkOffset = 0x34;
// Product major, minor, revision, then component major, minor, revision; one
// value at the start of each four-byte slot.
constexpr std::size_t kNewerVersionsOffset = 0x40;
constexpr std::size_t kOlderVersionsOffset = 0x18;
constexpr std::size_t kVersionSlot = 4;

bool BytesAre(std::span<const std::uint8_t> header, std::size_t offset, const char (&text)[5]) {
  return std::memcmp(header.data() + offset, text, 4) == 0;
}

}  // namespace

std::uint16_t DecodeBcdVersion(std::uint16_t raw) {
  // The first stored byte is the low byte of `raw` and holds the two most
  // significant digits.
  const unsigned b0 = raw & 0xFF;
  const unsigned b1 = raw >> 8;
  return static_cast<std::uint16_t>(1000 * (b0 >> 4) + 100 * (b0 & 0x0F) + 10 * (b1 >> 4) +
                                    (b1 & 0x0F));
}

bool ReadImageFile(platform::FileSystem& files, const CStFwComponent& component,
                   std::vector<std::uint8_t>& bytes) {
  const std::unique_ptr<platform::InputFile> file =
      files.openForReading(component.FilePath, platform::OpenMode::Binary);
  if (!file) return false;
  const std::optional<std::uint64_t> size = file->size();
  // Image sizes travel as 32-bit numbers to the device; nothing larger is an
  // image of ours.
  if (!size || *size > UINT32_MAX) return false;

  std::vector<std::uint8_t> content;
  try {
    content.resize(static_cast<std::size_t>(*size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  // A file that shrank after it was sized must not reach the device with a
  // zero tail standing in for the missing bytes.
  std::size_t done = 0;
  while (done < content.size()) {
    const std::size_t got = file->readAt(done, std::span<std::uint8_t>(content).subspan(done));
    if (got == 0) return false;
    done += got;
  }
  bytes = std::move(content);
  return true;
}

bool CStFwComponent::Load(platform::FileSystem& files, const std::string& path) {
  // Only the header and the size are needed here: whoever sends or compares
  // the image reads its bytes then, once.
  FilePath = path;
  std::array<std::uint8_t, kMinimumFileSize> header;
  const std::unique_ptr<platform::InputFile> file =
      files.openForReading(path, platform::OpenMode::Binary);
  const std::optional<std::uint64_t> size = file ? file->size() : std::nullopt;
  bool valid = size && *size >= kMinimumFileSize && *size <= UINT32_MAX;
  for (std::size_t done = 0; valid && done < header.size();) {
    const std::size_t got = file->readAt(done, std::span<std::uint8_t>(header).subspan(done));
    valid = got != 0;
    done += got;
  }
  if (!valid ||
      !(BytesAre(header, kSignatureOffset, "STMP") || BytesAre(header, kSignatureOffset, "RSRC"))) {
    FilePath.clear();
    return false;
  }

  const std::size_t base =
      BytesAre(header, kLayoutMarkOffset, "sgtl") ? kNewerVersionsOffset : kOlderVersionsOffset;
  std::array<std::uint16_t, 6> values;
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = DecodeBcdVersion(GetLe16(header.data() + base + i * kVersionSlot));
  ProductVersion = {values[0], values[1], values[2]};
  ComponentVersion = {values[3], values[4], values[5]};
  ImageSize = *size;
  return true;
}

CStFwComponent LoadImageForTag(platform::FileSystem& files, const ImageTable& images,
                               std::uint8_t tag) {
  CStFwComponent component;
  // Only the application-image rows: the updater and bootlet files are
  // loaded by their callers directly.
  for (std::size_t row : image_row::kApplicationImages) {
    if (images[row].DriveTag != tag) continue;
    component.Load(files, images[row].FilePath);
    break;
  }
  return component;
}

}  // namespace kx7
