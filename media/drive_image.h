#pragma once

// Drive-level operations on an open session: erase a logical drive, stamp
// its versions, write an image in chunks of at most 64 KiB and read it back.
// Every operation names the drive by tag; a tag the session's drive table
// does not hold fails before anything is sent.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "device/device_session.h"
#include "device/drive_types.h"
#include "firmware/image_table.h"

namespace kx7 {

inline constexpr std::uint32_t kMaxChunkBytes = 65536;
inline constexpr std::uint32_t kLastChunkTimeoutSeconds = 20;

bool EraseDrive(DeviceSession& session, std::uint8_t tag);

// Info type 8 gets the product version, then info type 7 the component
// version.
bool SetDriveVersions(DeviceSession& session, std::uint8_t tag, const VersionTriple& product,
                      const VersionTriple& component);

// Writes `image` from sector 0 in whole chunks, 0xFF after the image up to
// the end of the last chunk. A failure of the last chunk is not an error.
bool WriteDriveImage(DeviceSession& session, std::uint8_t tag, std::span<const std::uint8_t> image);

// Reads back as many whole sectors as the image file for `tag` occupies.
// `out` is replaced only when every read succeeded.
bool ReadDriveImage(DeviceSession& session, const ImageTable& images, std::uint8_t tag,
                    std::vector<std::uint8_t>& out);

// The same read-back, handed over a chunk at a time as it arrives: `visit`
// gets each chunk's offset and bytes and may stop the reading by answering
// false. `total` receives the read-back's length before the first chunk.
// False when a read fails, the image file does not load, or `visit` stops.
using ReadBackVisitor =
    std::function<bool(std::uint64_t offset, std::span<const std::uint8_t> bytes)>;
bool ReadDriveImageChunks(DeviceSession& session, const ImageTable& images, std::uint8_t tag,
                          std::uint64_t& total, const ReadBackVisitor& visit);

}  // namespace kx7
