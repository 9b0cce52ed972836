#include "cli/feedback.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace kx7::cli {

namespace {

std::atomic<bool> g_rewriting{false};

void OnInterrupt(int) {
  if (g_rewriting.load()) {
    static const char kWarning[] =
        "\nkx7fw: not now - the player's drives are being rewritten, and stopping would leave "
        "it unusable. Wait for the update to finish.\n";
    [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, kWarning, sizeof kWarning - 1);
    return;
  }
  signal(SIGINT, SIG_DFL);
  raise(SIGINT);
}

// Steps from which on, and up to the chip reset, the player cannot be left.
bool StartsRewriting(Step step) {
  return step == Step::ReallocateMedia || step == Step::EraseDrive;
}

std::string TagText(std::uint8_t tag) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", tag);
  return text;
}

std::string Bytes(std::uint64_t bytes) {
  char text[32];
  if (bytes >= 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  else if (bytes >= 1024)
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
  else
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  return text;
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

void InstallInterruptGuard() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

Feedback::Feedback(ProgressStyle style, std::function<double()> seconds)
    : style_(style), seconds_(std::move(seconds)) {
  if (style_ == ProgressStyle::Auto)
    style_ = isatty(STDOUT_FILENO) ? ProgressStyle::Terminal : ProgressStyle::Plain;
}

Feedback::~Feedback() {
  OperationEnded();
}

std::string Feedback::StepTitle() const {
  std::string title = StepName(step_);
  // Steps done to each drive in turn name theirs.
  const bool perDrive = step_ == Step::EraseDrive || step_ == Step::StampVersions ||
                        step_ == Step::WriteDrive || step_ == Step::VerifyDrive;
  if (perDrive) title += " drive " + TagText(tag_);
  return title;
}

void Feedback::Line(const std::string& text) {
  if (drawn_) std::fputs("\r\033[K", stdout);
  drawn_ = false;
  std::printf("  [%7.1f s] %s\n", seconds_(), text.c_str());
  std::fflush(stdout);
}

void Feedback::Draw(const std::string& detail) {
  std::printf("\r\033[K  [%7.1f s] %s  %s", seconds_(), StepTitle().c_str(), detail.c_str());
  std::fflush(stdout);
  drawn_ = true;
}

void Feedback::Json(const std::string& object) {
  char time[32];
  std::snprintf(time, sizeof time, "%.3f", seconds_());
  std::fprintf(stderr, "{\"t\":%s,%s}\n", time, object.c_str());
  std::fflush(stderr);
}

void Feedback::StepStarted(Step step, std::uint8_t driveTag) {
  if (StartsRewriting(step)) g_rewriting = true;
  step_ = step;
  tag_ = driveTag;
  bytes_ = totalBytes_ = waitedMs_ = 0;
  lastPercent_ = -1;
  switch (style_) {
    case ProgressStyle::Terminal:
      Draw("");
      break;
    case ProgressStyle::Json:
      Json("\"event\":\"step-started\",\"step\":" + JsonText(StepName(step)) +
           ",\"tag\":" + std::to_string(driveTag));
      break;
    default:
      break;
  }
}

void Feedback::StepEnded(Step step, std::uint8_t driveTag, bool succeeded) {
  std::string detail;
  if (totalBytes_) detail = ", " + Bytes(bytes_);
  if (waitedMs_) {
    char text[32];
    std::snprintf(text, sizeof text, ", waited %.1f s", static_cast<double>(waitedMs_) / 1000.0);
    detail += text;
  }
  switch (style_) {
    case ProgressStyle::Terminal:
    case ProgressStyle::Plain:
      Line(StepTitle() + (succeeded ? ": ok" : ": FAILED") + detail);
      break;
    case ProgressStyle::Json:
      Json("\"event\":\"step-ended\",\"step\":" + JsonText(StepName(step)) +
           ",\"tag\":" + std::to_string(driveTag) + ",\"ok\":" + (succeeded ? "true" : "false") +
           ",\"bytes\":" + std::to_string(bytes_) + ",\"waitedMs\":" + std::to_string(waitedMs_));
      break;
    case ProgressStyle::Auto:
    case ProgressStyle::None:
      break;
  }
  if (step == Step::ResetChip) g_rewriting = false;
}

void Feedback::Transferred(std::uint64_t done, std::uint64_t total) {
  bytes_ = done;
  totalBytes_ = total;
  const int percent = total ? static_cast<int>(done * 100 / total) : 100;
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  if (style_ == ProgressStyle::Terminal) {
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    Draw("[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
         std::to_string(percent) + "% of " + Bytes(total));
  } else if (style_ == ProgressStyle::Json) {
    Json("\"event\":\"bytes\",\"done\":" + std::to_string(done) +
         ",\"total\":" + std::to_string(total));
  }
}

void Feedback::Waited(std::uint32_t elapsedMs, std::uint32_t totalMs) {
  if (elapsedMs == totalMs) waitedMs_ += totalMs;
  if (style_ == ProgressStyle::Terminal) {
    char text[48];
    std::snprintf(text, sizeof text, "waiting %.1f of %.1f s", elapsedMs / 1000.0,
                  totalMs / 1000.0);
    Draw(text);
  } else if (style_ == ProgressStyle::Json && elapsedMs == totalMs) {
    Json("\"event\":\"waited\",\"ms\":" + std::to_string(totalMs));
  }
}

void Feedback::OperationEnded() {
  g_rewriting = false;
  if (drawn_) {
    std::fputs("\n", stdout);
    std::fflush(stdout);
    drawn_ = false;
  }
}

}  // namespace kx7::cli
