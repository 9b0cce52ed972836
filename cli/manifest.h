#pragma once

// The firmware folder's integrity manifest, "kx7fw.sha256": one line per
// file, its SHA-256 in hex, two blanks and its name - the format of
// sha256sum, so `sha256sum -c kx7fw.sha256` checks it too. `kx7fw manifest`
// writes it; update and recover check it whenever the folder has one and
// stop, before anything is sent to the player, when a file does not match.

#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace kx7::cli {

inline constexpr const char* kManifestFileName = "kx7fw.sha256";

struct ManifestLine {
  std::string sha256;
  std::string name;
};

// The SHA-256 of a file read through the world's files; nothing when it
// cannot be read whole.
std::optional<std::string> FileSha256(platform::FileSystem& files, const std::string& path);

// The manifest text for the files of `names` that `folder` holds, and the
// names it found; "" when it holds none of them.
std::string MakeManifest(platform::FileSystem& files, const std::string& folder,
                         const std::vector<std::string>& names, std::vector<std::string>& found);

// Reads "HASH  NAME" lines ("HASH *NAME" too; blank lines and lines that
// start with "#" are skipped). Nothing, with `error` set, for a line that is not
// one or a name with a separator in it.
std::optional<std::vector<ManifestLine>> ParseManifest(const std::string& text, std::string& error);

// The manifest check of `folder`: "" when it has no manifest; else one
// problem per file that does not match, is missing, or is needed and not
// listed (`needed`), and `checked` says how many matched.
struct ManifestVerdict {
  bool present = false;
  std::vector<std::string> problems;
  std::size_t checked = 0;
};
ManifestVerdict CheckManifest(platform::FileSystem& files, const std::string& folder,
                              const std::vector<std::string>& needed);

}  // namespace kx7::cli
