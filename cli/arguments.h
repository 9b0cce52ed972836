#pragma once

// The arguments people type, taken as they meant them: a folder given where
// the serial goes, a folder without its trailing separator, a relative
// folder of this machine on a simulated world; and the commands the tool
// suggests, written so that they can be pasted into a shell.

#include <string>
#include <vector>

namespace kx7::cli {

// `text` as one shell word: as it is when it needs no quoting, else in
// single quotes.
std::string ShellQuote(const std::string& text);

// How to call the tool again on the same world: the program as it was
// called ("kx7fw" when that is the one the PATH finds) and the same --sim
// argument.
class Invocation {
 public:
  Invocation() = default;
  Invocation(std::string program, bool simulated, std::string scenario);
  // The command line of `words` (quoted as needed) after the program.
  std::string Command(const std::vector<std::string>& words) const;

 private:
  std::string prefix_ = "kx7fw";
};

// Whether a command-line word names a folder rather than a serial: it holds
// a separator, is "." or "..", or is a folder of this machine.
bool LooksLikeFolder(const std::string& text);

// The serial and folder a command was given, in whichever order; `swapped`
// says when the two were taken the other way round.
struct SerialAndFolder {
  std::string serial;
  std::string folder;
  bool swapped = false;
};
SerialAndFolder SortSerialAndFolder(const std::string& first, const std::string& second);

// A firmware folder as the library needs it: ending in its separator; a
// folder of this machine made absolute (the simulated host reaches the
// machine's files only at absolute paths). Windows paths ("C:\...") are the
// simulated host's own and keep their form.
std::string FirmwareFolder(const std::string& text);

}  // namespace kx7::cli
