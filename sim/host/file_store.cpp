#include "sim/host/file_store.h"

#include "sim/host/text.h"

namespace kx7::sim {

std::string ParentPath(std::string_view path) {
  const std::string normal(path);
  const std::size_t slash = normal.find_last_of("\\/");
  if (slash == std::string::npos) return "";
  if (slash <= 2) return normal.substr(0, slash + 1);  // "C:\"
  return normal.substr(0, slash);
}

void FileStore::addDirectory(std::string_view path) {
  std::string normal = NormalPath(path);
  while (normal.size() > 3) {
    directories_.insert(normal);
    normal = NormalPath(ParentPath(normal));
  }
  if (!normal.empty()) directories_.insert(normal);
}

bool FileStore::hasDirectory(std::string_view path) const {
  return directories_.count(NormalPath(path)) != 0;
}

void FileStore::addFile(std::string_view path, std::vector<std::uint8_t> bytes) {
  addDirectory(ParentPath(path));
  files_[NormalPath(path)] =
      Entry{std::string(path), std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))};
}

void FileStore::addFile(std::string_view path, std::string_view text) {
  addFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void FileStore::removeFile(std::string_view path) {
  files_.erase(NormalPath(path));
}

bool FileStore::hasFile(std::string_view path) const {
  return files_.count(NormalPath(path)) != 0;
}

const std::vector<std::uint8_t>* FileStore::file(std::string_view path) const {
  const auto it = files_.find(NormalPath(path));
  return it == files_.end() ? nullptr : it->second.bytes.get();
}

std::shared_ptr<const std::vector<std::uint8_t>> FileStore::shared(std::string_view path) const {
  const auto it = files_.find(NormalPath(path));
  return it == files_.end() ? nullptr : it->second.bytes;
}

std::vector<std::string> FileStore::filesIn(std::string_view folder) const {
  std::vector<std::string> out;
  const std::string normal = NormalPath(folder);
  for (const auto& [key, entry] : files_)
    if (NormalPath(ParentPath(key)) == normal) out.push_back(entry.path);
  return out;
}

std::vector<std::string> FileStore::directoriesIn(std::string_view folder) const {
  std::vector<std::string> out;
  const std::string normal = NormalPath(folder);
  for (const std::string& directory : directories_)
    if (directory != normal && NormalPath(ParentPath(directory)) == normal)
      out.push_back(directory);
  return out;
}

void FileStore::removeDirectory(std::string_view folder) {
  const std::string normal = NormalPath(folder);
  const auto inside = [&](const std::string& path) {
    return path == normal || path.rfind(normal + "\\", 0) == 0;
  };
  std::erase_if(files_, [&](const auto& entry) { return inside(entry.first); });
  std::erase_if(directories_, inside);
}

}  // namespace kx7::sim
