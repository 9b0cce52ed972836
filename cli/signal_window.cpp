#include "cli/signal_window.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>

#include <set>

#include "cli/console.h"

namespace kx7::cli {

namespace {

struct State {
  bool open = false;
  bool holdUntilRelease = false;
  std::string why;
  std::set<int> noticed;
  std::function<void(int)> onStop;
};

State& S() {
  static State state;
  return state;
}

sigset_t HeldSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : SignalWindow::Held()) sigaddset(&set, signal);
  return set;
}

std::vector<int> Pending() {
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  std::vector<int> out;
  for (int signal : SignalWindow::Held())
    if (sigismember(&pending, signal) == 1) out.push_back(signal);
  return out;
}

}  // namespace

const std::vector<int>& SignalWindow::Held() {
  static const std::vector<int> held = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
  return held;
}

std::string SignalWindow::Name(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT (Ctrl-C)";
    case SIGQUIT:
      return "SIGQUIT (Ctrl-\\)";
    case SIGHUP:
      return "SIGHUP (the terminal was closed)";
    case SIGTERM:
      return "SIGTERM";
  }
  const char* abbrev = sigabbrev_np(signal);
  return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(signal);
}

void SignalWindow::Open(std::string why) {
  State& s = S();
  s.why = std::move(why);
  if (s.open) return;
  const sigset_t set = HeldSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  s.open = true;
  s.noticed.clear();
}

bool SignalWindow::IsOpen() {
  return S().open;
}

void SignalWindow::HoldUntilRelease() {
  S().holdUntilRelease = true;
}

void SignalWindow::Release() {
  S().holdUntilRelease = false;
  Close();
}

void SignalWindow::NoticeHeld() {
  State& s = S();
  if (!s.open) return;
  for (int signal : Pending()) {
    if (!s.noticed.insert(signal).second) continue;
    console::Err("\nkx7fw: " + Name(signal) + " held - " + s.why + "\n");
  }
}

bool SignalWindow::AnyPending() {
  return !Pending().empty();
}

void SignalWindow::OnStop(std::function<void(int)> hook) {
  S().onStop = std::move(hook);
}

void SignalWindow::Close() {
  State& s = S();
  if (!s.open || s.holdUntilRelease) return;
  const std::vector<int> arrived = Pending();
  if (!arrived.empty()) {
    std::string names;
    for (int signal : arrived) names += (names.empty() ? "" : ", ") + Name(signal);
    console::Err("kx7fw: stopping for " + names +
                 ", which arrived while the player could not be left\n");
    // The hook is the command's last word; it runs once.
    if (auto hook = std::move(s.onStop)) {
      s.onStop = nullptr;
      hook(arrived.front());
    }
  }
  s.open = false;
  // A pending signal is delivered as the mask drops, with its usual effect.
  const sigset_t set = HeldSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace kx7::cli
