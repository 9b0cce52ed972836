#include "cli/user_files.h"

#include <numeric>

namespace kx7::cli {

std::uint64_t TotalSize(const std::vector<UserFile>& files) {
  return std::accumulate(files.begin(), files.end(), std::uint64_t{0},
                         [](std::uint64_t sum, const UserFile& f) { return sum + f.size; });
}

}  // namespace kx7::cli
