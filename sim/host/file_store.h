#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kx7::sim {

// Files and folders on the host's own drives. Paths are Windows paths
// ("C:\Temp\x"), compared without regard to case.
class FileStore {
 public:
  // Adds the file and the folders above it.
  void addFile(std::string_view path, std::vector<std::uint8_t> bytes);
  void addFile(std::string_view path, std::string_view text);
  void removeFile(std::string_view path);
  bool hasFile(std::string_view path) const;
  const std::vector<std::uint8_t>* file(std::string_view path) const;
  // The same bytes, shared: they stay valid while the file is replaced or
  // removed, so a reader holds them without a copy.
  std::shared_ptr<const std::vector<std::uint8_t>> shared(std::string_view path) const;

  // Adds the folder and the folders above it.
  void addDirectory(std::string_view path);
  bool hasDirectory(std::string_view path) const;

  // Paths of the files directly inside `folder`.
  std::vector<std::string> filesIn(std::string_view folder) const;
  // Paths of the folders directly inside `folder`.
  std::vector<std::string> directoriesIn(std::string_view folder) const;
  // The folder, everything in it, and the folders below it.
  void removeDirectory(std::string_view folder);

 private:
  struct Entry {
    std::string path;
    std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  };
  std::map<std::string, Entry> files_;
  std::set<std::string> directories_;
};

// The folder part of a path ("C:\Temp\x" -> "C:\Temp"; "C:\x" -> "C:\").
std::string ParentPath(std::string_view path);

}  // namespace kx7::sim
