#include "cli/feedback.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cli/console.h"
#include "cli/signal_window.h"

namespace kx7::cli {

namespace {

// "  [   12.5 s] ": where a step's name starts on its line.
constexpr std::size_t kStepIndent = 14;
constexpr int kBarWidth = 30;
constexpr int kMinBarWidth = 5;

// Steps from which on, and up to the chip reset, the player cannot be left.
bool StartsRewriting(Step step) {
  return step == Step::ReallocateMedia || step == Step::EraseDrive;
}

// Steps that send the player commands which must all be taken: a command
// it refuses there means the step did not do its work, whatever the
// library made of it. (Other steps probe the host's drives, where refusals
// are the answer.)
bool Judged(Step step) {
  switch (step) {
    case Step::SwitchToRecovery:
    case Step::ReallocateMedia:
    case Step::EraseDrive:
    case Step::StampVersions:
    case Step::WriteDrive:
    case Step::VerifyDrive:
    case Step::ResetSettingsDrive:
    case Step::FormatDataDrive:
    case Step::WriteBootlet:
    case Step::ResetChip:
      return true;
    default:
      return false;
  }
}

std::string TagText(std::uint8_t tag) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", tag);
  return text;
}

std::string Seconds(std::uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(ms) / 1000.0);
  return text;
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

}  // namespace

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

Feedback::Feedback(ProgressStyle style, std::function<double()> seconds,
                   std::function<int()> columns)
    : style_(style), seconds_(std::move(seconds)), columns_(std::move(columns)) {
  if (style_ == ProgressStyle::Auto)
    style_ = console::OutIsTerminal() ? ProgressStyle::Terminal : ProgressStyle::Plain;
}

Feedback::~Feedback() {
  OperationEnded();
}

int Feedback::Columns() const {
  return columns_ ? columns_() : console::Columns();
}

void Feedback::ExpectRewrite(double seconds, std::string until, std::function<void()> began) {
  rewriteSeconds_ = seconds;
  rewriteUntil_ = std::move(until);
  rewriteBegins_ = std::move(began);
}

bool Feedback::Reached(Step step) const {
  return (reached_ >> static_cast<unsigned>(step)) & 1u;
}

void Feedback::ForgetSteps() {
  failedStep_.reset();
  failedWhy_.clear();
  verified_ = 0;
  reached_ = 0;
  rewriteBegan_ = false;
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
  std::string out;
  if (drawn_) out = "\r\033[K";
  drawn_ = false;
  lastDrawn_.clear();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "  [%7.1f s] ", seconds_());
  const std::string line = stamp + text;
  out +=
      style_ == ProgressStyle::Terminal ? console::Fold(line, Columns(), kStepIndent) : line + "\n";
  console::Out(out);
}

void Feedback::Note(const std::string& text) {
  switch (style_) {
    case ProgressStyle::Terminal: {
      std::string out = drawn_ ? "\r\033[K" : "";
      drawn_ = false;
      lastDrawn_.clear();
      console::Out(out + console::Fold("  " + text, Columns(), kStepIndent));
      break;
    }
    case ProgressStyle::Plain:
      console::Out("  " + text + "\n");
      break;
    case ProgressStyle::Json:
      Json("\"event\":\"note\",\"text\":" + JsonText(text));
      break;
    default:
      break;
  }
}

void Feedback::Draw() {
  const int columns = Columns();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "  [%7.1f s] ", seconds_());
  const std::string head = stamp + StepTitle();
  std::string waits;
  if (waitTotal_)
    waits = "waiting " + Seconds(waitedBase_ + waiting_) + " of " + Seconds(waitTotal_) + " s";
  std::string text = head;
  if (totalBytes_) {
    const std::uint64_t done = bytesBase_ + bytes_;
    const std::uint64_t total = bytesBase_ + totalBytes_;
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    const std::string amount = std::to_string(std::min(percent, 100)) + "% of " + Bytes(total);
    const std::string tail = amount + (waits.empty() ? "" : ", " + waits);
    const int room = columns - 1 - static_cast<int>(head.size() + tail.size()) - 5;
    const int width = std::min(kBarWidth, room);
    std::string bar;
    if (width >= kMinBarWidth) {
      const int filled = std::min(percent, 100) * width / 100;
      // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on the
      // same bar built with operator+ in an optimised build.
      bar.append("[")
          .append(static_cast<std::size_t>(filled), '#')
          .append(static_cast<std::size_t>(width - filled), '.')
          .append("] ");
    }
    text += "  " + bar + tail;
  } else if (!waits.empty()) {
    text += "  " + waits;
  }
  text = console::Fit(text, columns);
  if (drawn_ && text == lastDrawn_) return;
  lastDrawn_ = text;
  console::Out("\r\033[K" + text);
  drawn_ = true;
}

void Feedback::Json(const std::string& object) {
  char time[32];
  std::snprintf(time, sizeof time, "%.3f", seconds_());
  console::Err("{\"t\":" + std::string(time) + "," + object + "}\n");
}

void Feedback::StepStarted(Step step, std::uint8_t driveTag) {
  SignalWindow::NoticeHeld();
  if (StartsRewriting(step) && !rewriteBegan_) {
    rewriteBegan_ = true;
    const long seconds = std::max(1L, std::lround(rewriteSeconds_));
    const std::string about = "about " + std::to_string(seconds) + " s";
    // Held before it is said: whoever acts on the line finds them held.
    SignalWindow::Open(
        "the player's drives are being rewritten and stopping now would leave it "
        "unusable; the tool stops as soon as " +
        rewriteUntil_ + " (" + about + ")");
    if (rewriteBegins_) rewriteBegins_();
    if (style_ == ProgressStyle::Json)
      Json("\"event\":\"rewrite-started\",\"expectedSeconds\":" + std::to_string(seconds) +
           ",\"until\":" + JsonText(rewriteUntil_));
    else
      Note("rewriting the player's drives now (" + about + " until " + rewriteUntil_ +
           "): do not unplug the player or close this window");
  }
  step_ = step;
  tag_ = driveTag;
  bytesBase_ = bytes_ = totalBytes_ = 0;
  waitedBase_ = waiting_ = waitTotal_ = 0;
  lastPercent_ = -1;
  if (traffic_.mark) traffic_.mark();
  switch (style_) {
    case ProgressStyle::Terminal:
      Draw();
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
  SignalWindow::NoticeHeld();
  step_ = step;
  tag_ = driveTag;
  std::string why;
  bool refused = false;
  if (Judged(step)) {
    const std::string refusal = traffic_.refusal ? traffic_.refusal() : "";
    const std::string lost = traffic_.undelivered ? traffic_.undelivered() : "";
    const std::string missing = traffic_.missing ? traffic_.missing(step) : "";
    why = !refusal.empty() ? refusal : !lost.empty() ? lost : missing;
    refused = succeeded && (!refusal.empty() || !missing.empty());
  }
  const bool ok = succeeded && !refused;
  if (!ok && !failedStep_) {
    failedStep_ = StepTitle();
    failedWhy_ = why;
  }
  if (ok) {
    reached_ |= 1u << static_cast<unsigned>(step);
    if (step == Step::VerifyDrive) ++verified_;
  }
  std::string detail;
  if (totalBytes_) detail = ", " + Bytes(bytesBase_ + bytes_);
  if (waitedBase_) detail += ", waited " + Seconds(waitedBase_) + " s";
  std::string verdict = ok ? ": ok" : refused ? ": REFUSED" : ": FAILED";
  if (ok && traffic_.note)
    if (const std::string note = traffic_.note(step); !note.empty()) verdict = ": " + note;
  switch (style_) {
    case ProgressStyle::Terminal:
    case ProgressStyle::Plain:
      Line(StepTitle() + verdict + detail + (why.empty() || ok ? "" : " - " + why));
      break;
    case ProgressStyle::Json:
      Json("\"event\":\"step-ended\",\"step\":" + JsonText(StepName(step)) +
           ",\"tag\":" + std::to_string(driveTag) + ",\"ok\":" + (ok ? "true" : "false") +
           (refused ? ",\"refused\":true" : "") + ",\"bytes\":" +
           std::to_string(bytesBase_ + bytes_) + ",\"waitedMs\":" + std::to_string(waitedBase_) +
           (why.empty() || ok ? "" : ",\"why\":" + JsonText(why)));
      break;
    case ProgressStyle::Auto:
    case ProgressStyle::None:
      break;
  }
  if (step == Step::ResetChip) SignalWindow::Close();
}

void Feedback::Transferred(std::uint64_t done, std::uint64_t total) {
  SignalWindow::NoticeHeld();
  // A new transfer within the step adds to the step's count.
  if (totalBytes_ && (done < bytes_ || total != totalBytes_)) {
    bytesBase_ += totalBytes_;
    lastPercent_ = -1;
  }
  bytes_ = done;
  totalBytes_ = total;
  const std::uint64_t all = bytesBase_ + totalBytes_;
  const int percent = all ? static_cast<int>((bytesBase_ + bytes_) * 100 / all) : 100;
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  if (style_ == ProgressStyle::Terminal) {
    Draw();
  } else if (style_ == ProgressStyle::Json) {
    Json("\"event\":\"bytes\",\"done\":" + std::to_string(done) +
         ",\"total\":" + std::to_string(total));
  }
}

void Feedback::Waited(std::uint32_t elapsedMs, std::uint32_t totalMs) {
  SignalWindow::NoticeHeld();
  if (waiting_ == 0 || elapsedMs <= waiting_) waitTotal_ += totalMs;  // a new wait
  waiting_ = elapsedMs;
  if (elapsedMs >= totalMs) {
    waitedBase_ += totalMs;
    waiting_ = 0;
  }
  if (style_ == ProgressStyle::Terminal) {
    Draw();
  } else if (style_ == ProgressStyle::Json && elapsedMs >= totalMs) {
    Json("\"event\":\"waited\",\"ms\":" + std::to_string(totalMs));
  }
}

void Feedback::OperationEnded() {
  if (drawn_) {
    console::Out("\n");
    drawn_ = false;
    lastDrawn_.clear();
  }
  SignalWindow::Close();
}

}  // namespace kx7::cli
