#pragma once

// From the first erase of the player's drives until the chip reset, the
// signals that would end the tool - SIGINT (Ctrl-C), SIGTERM, SIGHUP (the
// terminal closed, an ssh session dropped) and SIGQUIT (Ctrl-\) - are held
// off: blocked, not caught. A handler would make a system call in flight
// (the kernel's SG_IO in the middle of a rewrite) return EINTR, or be
// restarted and send its command twice; a blocked signal simply waits.
// Whatever arrived while they were held is acted on as soon as the window
// closes: the tool says what arrived and what state the player is in, then
// stops by that signal. Outside the window every signal acts at once, as
// usual. SIGPIPE is ignored for the whole run (console.h).

#include <functional>
#include <string>
#include <vector>

namespace kx7::cli {

class SignalWindow {
 public:
  // Said when a held signal is noticed: why it waits, and until when.
  static void Open(std::string why);
  static bool IsOpen();
  // The window stays open past the next Close() until Release(): a recovery
  // that puts the user's files back keeps it until they are back.
  static void HoldUntilRelease();
  static void Release();
  // Ends the window; what arrived meanwhile is acted on now.
  static void Close();

  // Tells once, for each signal that arrived while held, that it waits.
  // Called whenever the tool gets a word from the library.
  static void NoticeHeld();
  // Whether a signal waits to be acted on.
  static bool AnyPending();
  // What the command has to say before the tool stops by `signal`: its
  // final line and any state it writes. Runs once.
  static void OnStop(std::function<void(int signal)> hook);

  // "SIGTERM", "SIGINT (Ctrl-C)" ...
  static std::string Name(int signal);
  // The signals that are held.
  static const std::vector<int>& Held();
};

}  // namespace kx7::cli
