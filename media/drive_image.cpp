#include "media/drive_image.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "device/commands.h"
#include "firmware/fw_component.h"

namespace kx7 {

namespace {

// How a drive's sectors are grouped into transfers of at most 64 KiB.
struct Chunking {
  std::uint32_t sectorSize;       // s
  std::uint32_t sectorsPerChunk;  // p

  std::uint64_t SectorsFor(std::uint64_t bytes) const {
    return bytes / sectorSize + (bytes % sectorSize != 0);
  }
};

// The drive behind `tag`, or null. A drive whose sector size reads as 0
// cannot be addressed in sectors and is refused too.
const DriveTableEntry* SectorDrive(const DeviceSession& session, std::uint8_t tag,
                                   Chunking& chunking) {
  const DriveTableEntry* entry = session.Drives.FindByTag(tag);
  if (!entry || entry->SectorSize == 0) return nullptr;
  chunking.sectorSize = entry->SectorSize;
  chunking.sectorsPerChunk = std::max<std::uint32_t>(kMaxChunkBytes / entry->SectorSize, 1);
  return entry;
}

}  // namespace

bool EraseDrive(DeviceSession& session, std::uint8_t tag) {
  const DriveTableEntry* entry = session.Drives.FindByTag(tag);
  if (!entry) return false;
  CStEraseLogicalDrive erase(entry->DriveNumber);
  return erase.Send(session.Io(), session.VolumeHandle);
}

bool SetDriveVersions(DeviceSession& session, std::uint8_t tag, const VersionTriple& product,
                      const VersionTriple& component) {
  const DriveTableEntry* entry = session.Drives.FindByTag(tag);
  if (!entry) return false;
  CStSetLogicalDriveInfo setProduct(entry->DriveNumber, info_type::kProductVersion, 0, product);
  if (!setProduct.Send(session.Io(), session.VolumeHandle)) return false;
  CStSetLogicalDriveInfo setComponent(entry->DriveNumber, info_type::kComponentVersion, 0,
                                      component);
  return setComponent.Send(session.Io(), session.VolumeHandle);
}

bool WriteDriveImage(DeviceSession& session, std::uint8_t tag,
                     std::span<const std::uint8_t> image) {
  Chunking chunking;
  const DriveTableEntry* entry = SectorDrive(session, tag, chunking);
  if (!entry) return false;

  const std::uint32_t p = chunking.sectorsPerChunk;
  const std::uint32_t chunkBytes = p * chunking.sectorSize;
  const std::uint64_t sectors = chunking.SectorsFor(image.size());
  const std::uint64_t chunks = sectors / p + (sectors % p != 0);

  // Every chunk goes out whole; what lies past the image is written as
  // erased flash. Each chunk is filled straight into its request, so the
  // padded image is never held twice.
  for (std::uint64_t i = 0; i < chunks; ++i) {
    const bool last = i + 1 == chunks;
    CStWriteLogicalDriveSector write(
        entry->DriveNumber, i * p, p, chunkBytes,
        last ? kLastChunkTimeoutSeconds : kDefaultCommandTimeoutSeconds);
    if (!write.BuildRequest()) return false;
    const std::uint64_t offset = i * chunkBytes;
    const std::size_t carried =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunkBytes, image.size() - offset));
    std::uint8_t* data = write.ResponseData();
    std::memcpy(data, image.data() + offset, carried);
    std::memset(data + carried, 0xFF, chunkBytes - carried);
    // The device may drop off the bus while it takes the last chunk; that is
    // not taken as a failure.
    if (!write.Send(session.Io(), session.VolumeHandle) && !last) return false;
    ReportTransferred(session.Observer, offset + carried, image.size());
  }
  return true;
}

bool ReadDriveImageChunks(DeviceSession& session, const ImageTable& images, std::uint8_t tag,
                          std::uint64_t& total, const ReadBackVisitor& visit) {
  Chunking chunking;
  const DriveTableEntry* entry = SectorDrive(session, tag, chunking);
  if (!entry) return false;

  const CStFwComponent component = LoadImageForTag(session.Services().files, images, tag);
  if (component.FilePath.empty()) return false;

  const std::uint32_t s = chunking.sectorSize;
  const std::uint32_t p = chunking.sectorsPerChunk;
  const std::uint64_t sectors = chunking.SectorsFor(component.ImageSize);
  total = sectors * s;

  // Whole chunks, then one read of the sectors that remain: the read-back
  // covers the image's sectors and no more.
  std::uint64_t sector = 0;
  while (sector < sectors) {
    const std::uint32_t count =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(p, sectors - sector));
    CStReadLogicalDriveSector read(entry->DriveNumber, sector, count, count * s);
    if (!read.Send(session.Io(), session.VolumeHandle) || !read.Completed) return false;
    if (!visit(sector * s, {read.ResponseData(), read.TransferLength})) return false;
    sector += count;
    ReportTransferred(session.Observer, sector * s, component.ImageSize);
  }
  return true;
}

bool ReadDriveImage(DeviceSession& session, const ImageTable& images, std::uint8_t tag,
                    std::vector<std::uint8_t>& out) {
  std::vector<std::uint8_t> buffer;
  std::uint64_t total = 0;
  const bool read = ReadDriveImageChunks(
      session, images, tag, total, [&](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
        if (buffer.empty()) {
          try {
            buffer.resize(static_cast<std::size_t>(total));
          } catch (const std::bad_alloc&) {
            return false;
          }
        }
        std::memcpy(buffer.data() + offset, bytes.data(), bytes.size());
        return true;
      });
  if (!read) return false;
  out = std::move(buffer);
  return true;
}

}  // namespace kx7
