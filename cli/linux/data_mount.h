#pragma once

// The player's data partition, mounted where this process can read (and,
// when asked, write) its files - for keeping the user's files over a
// recovery - and released afterwards. As root: a mount of our own on a
// fresh temporary folder, read-only unless writing is asked for, taken
// down when done. As another user: udisks2 (`udisksctl mount`), whose
// words never reach our standard output. A partition already mounted
// (by the desktop, say) is used where it is and left mounted.

#include <memory>
#include <string>
#include <vector>

#include "cli/linux/mount_release.h"

namespace kx7::cli {

class DataMount {
 public:
  // Null, with `why`, when the partition cannot be mounted from here.
  // `mountInfo` is the mount table to look in (/proc/self/mountinfo).
  static std::unique_ptr<DataMount> Open(const std::string& node, bool writable,
                                         const std::string& mountInfo, std::string& why);
  ~DataMount();
  DataMount(const DataMount&) = delete;
  DataMount& operator=(const DataMount&) = delete;

  const std::string& Path() const { return path_; }
  // Takes the mount down now; false when it would not go.
  bool Close();

 private:
  enum class Kind { Existing, Own, Udisks };
  DataMount(Kind kind, std::string node, std::string path)
      : kind_(kind), node_(std::move(node)), path_(std::move(path)) {}

  Kind kind_;
  std::string node_;
  std::string path_;
  bool open_ = true;
};

// Runs a program found on the PATH; what it writes on its standard output
// is handed back in `output` instead of reaching ours.
int RunCapturing(const std::vector<std::string>& argv, std::string& output);

}  // namespace kx7::cli
