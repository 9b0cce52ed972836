#include "cli/arguments.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace kx7::cli {

namespace {

bool IsWindowsPath(const std::string& text) {
  return text.size() >= 2 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':';
}

// The file the PATH finds for `name`, or "".
std::string OnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  const std::string dirs = path ? path : "";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

}  // namespace

std::string ShellQuote(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_./:=@%+,-") == std::string::npos;
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

Invocation::Invocation(std::string program, bool simulated, std::string scenario) {
  std::error_code error;
  const std::filesystem::path called(program);
  std::string shown = program;
  if (called.filename() == "kx7fw" && program.find('/') != std::string::npos) {
    // Called by its path: "kx7fw" is as good when the PATH leads to the same file.
    const std::string found = OnPath("kx7fw");
    if (!found.empty() && std::filesystem::equivalent(found, called, error)) shown = "kx7fw";
  }
  prefix_ = ShellQuote(shown);
  if (simulated) prefix_ += scenario.empty() ? " --sim" : " --sim " + ShellQuote(scenario);
}

std::string Invocation::Command(const std::vector<std::string>& words) const {
  std::string command = prefix_;
  // A word left empty (no serial to name) is left out.
  for (const std::string& word : words)
    if (!word.empty()) command.append(" ").append(ShellQuote(word));
  return command;
}

bool LooksLikeFolder(const std::string& text) {
  if (text.empty()) return false;
  if (text.find_first_of("/\\") != std::string::npos || text == "." || text == "..") return true;
  if (IsWindowsPath(text)) return true;
  std::error_code error;
  return std::filesystem::is_directory(text, error);
}

SerialAndFolder SortSerialAndFolder(const std::string& first, const std::string& second) {
  SerialAndFolder out{first, second, false};
  const bool firstIsFolder = LooksLikeFolder(first);
  if (firstIsFolder && (second.empty() || !LooksLikeFolder(second))) {
    out.serial = second;
    out.folder = first;
    out.swapped = !second.empty();
  }
  return out;
}

std::string FirmwareFolder(const std::string& text) {
  if (text.empty()) return text;
  if (IsWindowsPath(text)) return text.back() == '\\' ? text : text + "\\";
  std::error_code error;
  std::filesystem::path path(text);
  if (path.is_relative()) {
    const auto absolute = std::filesystem::absolute(path, error);
    if (!error) path = absolute.lexically_normal();
  }
  std::string folder = path.string();
  if (folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace kx7::cli
