#include "cli/manifest.h"

#include <algorithm>
#include <sstream>

#include "cli/sha256.h"

namespace kx7::cli {

namespace {

constexpr std::size_t kChunk = 1 << 16;
constexpr std::size_t kMaxManifestBytes = 1 << 16;

std::optional<std::string> ReadText(platform::FileSystem& files, const std::string& path) {
  const auto file = files.openForReading(path, platform::OpenMode::Binary);
  if (!file) return std::nullopt;
  const std::uint64_t size = std::min<std::uint64_t>(file->size().value_or(0), kMaxManifestBytes);
  std::string text(static_cast<std::size_t>(size), '\0');
  const std::size_t got = file->readAt(
      0, {reinterpret_cast<std::uint8_t*>(text.data()), static_cast<std::size_t>(size)});
  text.resize(got);
  return text;
}

bool IsHex64(const std::string& text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(c) != 0; });
}

}  // namespace

std::optional<std::string> FileSha256(platform::FileSystem& files, const std::string& path) {
  const auto file = files.openForReading(path, platform::OpenMode::Binary);
  if (!file) return std::nullopt;
  const auto size = file->size();
  if (!size) return std::nullopt;
  Sha256 hash;
  std::vector<std::uint8_t> chunk(kChunk);
  for (std::uint64_t offset = 0; offset < *size;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, *size - offset));
    const std::size_t got = file->readAt(offset, {chunk.data(), want});
    if (got != want) return std::nullopt;  // shorter than it says
    hash.Add({chunk.data(), got});
    offset += got;
  }
  return hash.FinishHex();
}

std::string MakeManifest(platform::FileSystem& files, const std::string& folder,
                         const std::vector<std::string>& names, std::vector<std::string>& found) {
  std::string text;
  found.clear();
  for (const std::string& name : names) {
    const auto sha = FileSha256(files, folder + name);
    if (!sha) continue;
    text += *sha + "  " + name + "\n";
    found.push_back(name);
  }
  return text;
}

std::optional<std::vector<ManifestLine>> ParseManifest(const std::string& text,
                                                       std::string& error) {
  std::vector<ManifestLine> lines;
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Blank lines and comment lines; a '#' inside a name is the name's.
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const std::string sha = line.substr(0, 64);
    const bool separated =
        line.size() > 66 && line[64] == ' ' && (line[65] == ' ' || line[65] == '*');
    const std::string name = separated ? line.substr(66) : "";
    if (!IsHex64(sha) || !separated || name.empty() ||
        name.find_first_of("/\\") != std::string::npos) {
      error = "line " + std::to_string(number) + " is not \"SHA-256  NAME\"";
      return std::nullopt;
    }
    ManifestLine entry{sha, name};
    std::transform(entry.sha256.begin(), entry.sha256.end(), entry.sha256.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    lines.push_back(entry);
  }
  return lines;
}

ManifestVerdict CheckManifest(platform::FileSystem& files, const std::string& folder,
                              const std::vector<std::string>& needed) {
  ManifestVerdict verdict;
  const auto text = ReadText(files, folder + kManifestFileName);
  if (!text) return verdict;
  verdict.present = true;
  std::string error;
  const auto lines = ParseManifest(*text, error);
  if (!lines) {
    verdict.problems.push_back(std::string(kManifestFileName) + ": " + error);
    return verdict;
  }
  for (const ManifestLine& line : *lines) {
    const auto sha = FileSha256(files, folder + line.name);
    if (!sha)
      verdict.problems.push_back(line.name + " is listed in " + kManifestFileName +
                                 " but cannot be read whole");
    else if (*sha != line.sha256)
      verdict.problems.push_back(line.name + " does not match " + kManifestFileName + " (SHA-256 " +
                                 sha->substr(0, 16) + "..., listed " + line.sha256.substr(0, 16) +
                                 "...)");
    else
      ++verdict.checked;
  }
  for (const std::string& name : needed) {
    const bool listed = std::any_of(lines->begin(), lines->end(),
                                    [&](const ManifestLine& l) { return l.name == name; });
    if (!listed) verdict.problems.push_back(name + " is not listed in " + kManifestFileName);
  }
  return verdict;
}

}  // namespace kx7::cli
