#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/image_table.h"
#include "platform/files.h"
#include "util/version_triple.h"

namespace kx7 {

// What one SB firmware file says about itself: its two version triples and
// its size. The file's sections are never interpreted; whoever needs the
// bytes reads the file again with ReadImageFile.
class CStFwComponent {
 public:
  CStFwComponent() = default;
  virtual ~CStFwComponent() = default;

  // Reads the file's header and size (not its content). On failure FilePath
  // is "" and the versions keep their values; on success FilePath, the
  // versions and ImageSize are set.
  bool Load(platform::FileSystem& files, const std::string& path);

  VersionTriple ProductVersion = {0, 0, 0};
  VersionTriple ComponentVersion = {0, 0, 0};
  // Non-empty exactly when the last load succeeded.
  std::string FilePath;
  // The whole file's size; meaningful only after a successful load.
  std::uint64_t ImageSize = 0;
};

// Four BCD digits stored most significant first; `raw` is the stored pair
// read as a little-endian u16. Nibbles above 9 are weighted like digits.
std::uint16_t DecodeBcdVersion(std::uint16_t raw);

// Reads the whole file named by the component's FilePath into `bytes`,
// exactly as stored. False when the file cannot be opened or yields fewer
// bytes than its size (`bytes` is then left untouched).
bool ReadImageFile(platform::FileSystem& files, const CStFwComponent& component,
                   std::vector<std::uint8_t>& bytes);

// The component of the first application-image row (3, 4, 5) whose tag is
// `tag`; not loaded (empty FilePath) when no row has it or the load fails.
CStFwComponent LoadImageForTag(platform::FileSystem& files, const ImageTable& images,
                               std::uint8_t tag);

}  // namespace kx7
