#include "app/cli/terminal_view.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace vestrel::cli {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr auto kSpinInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;

const char* PhaseName(int phase) {
  static const char* const names[] = {"", "Erasing", "Programming", "Verifying"};
  return names[phase];
}

std::string FormatBytes(double bytes) {
  char text[32];
  if (bytes >= 1024.0 * 1024.0)
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
  else
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  return text;
}

std::string FormatDuration(double seconds) {
  auto whole = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

}  // namespace

TerminalView::TerminalView(std::ostream& out, std::ostream& err, TerminalOptions options,
                           Clock clock, Sleeper sleeper)
    : out_(out),
      err_(err),
      options_(options),
      clock_(std::move(clock)),
      sleeper_(std::move(sleeper)) {}

bool TerminalView::ShowsProgress() const {
  return !options_.quiet && options_.progress != ProgressMode::Never;
}

bool TerminalView::DrawsBar() const {
  return ShowsProgress() && (options_.progress == ProgressMode::Always || options_.outIsTerminal);
}

void TerminalView::SetInfoText(const std::string& text) {
  ClearBar();
  FlushVersion();
  if (!options_.quiet) out_ << text << std::endl;
}

void TerminalView::StartPhase(Phase phase) {
  phase_ = phase;
  phaseStart_ = clock_();
  lastDraw_ = {};
  lastDecile_ = 0;
  percent_ = 0;
}

void TerminalView::SetProgress(int percent) {
  progress_ = std::clamp(percent, 0, 100);
}

void TerminalView::OnProgress(const app::Progress& progress) {
  percent_ = std::clamp(progress.percent, 0, 100);
  total_ = progress.total;
  // 0 is the bar being reset between operations, not progress worth a line.
  if (phase_ == Phase::None || percent_ == 0 || !ShowsProgress()) return;
  if (DrawsBar())
    DrawBar(percent_ == 100);
  else
    PrintPlainStep();
}

void TerminalView::PrintPlainStep() {
  const int decile = percent_ / 10;
  if (decile <= lastDecile_) return;
  lastDecile_ = decile;
  out_ << PhaseName(static_cast<int>(phase_)) << ": " << percent_ << '%';
  if (retries_ > 0) out_ << " (retries: " << retries_ << ')';
  out_ << std::endl;
}

std::string TerminalView::BarLine() const {
  const int filled = percent_ * kBarWidth / 100;
  std::string line = PhaseName(static_cast<int>(phase_));
  line.resize(12, ' ');
  line += '[' + std::string(static_cast<std::size_t>(filled), '#') +
          std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') + "] ";
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", percent_);
  line += percent;

  const std::uint32_t total = total_;
  const double elapsed = std::chrono::duration<double>(clock_() - phaseStart_).count();
  if (phase_ != Phase::Erase && total > 0) {
    const double done = static_cast<double>(total) * percent_ / 100.0;
    line += "  " + FormatBytes(done);
    if (elapsed > 0.5 && done > 0) {
      line += "  " + FormatBytes(done / elapsed) + "/s";
      if (percent_ < 100)
        line += "  " + FormatDuration(elapsed * (100 - percent_) / percent_) + " left";
    }
  } else if (elapsed > 0.5) {
    line += "  " + FormatDuration(elapsed);
  }
  if (retries_ > 0) line += "  retries " + std::to_string(retries_);
  return line;
}

void TerminalView::DrawBar(bool force) {
  const auto now = clock_();
  if (!force && barVisible_ && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  out_ << '\r' << BarLine() << "\x1b[K" << std::flush;
  barVisible_ = true;
}

void TerminalView::OnWaiting(std::chrono::milliseconds waited, std::chrono::milliseconds limit) {
  if (!DrawsBar()) return;  // a log has the waiting line already
  const auto now = clock_();
  if (spinnerVisible_ && now - lastDraw_ < kSpinInterval) return;
  lastDraw_ = now;
  static constexpr char kFrames[] = {'|', '/', '-', '\\'};
  out_ << '\r' << kFrames[spinnerFrame_++ % sizeof kFrames] << " waiting "
       << FormatDuration(std::chrono::duration<double>(waited).count()) << " of "
       << FormatDuration(std::chrono::duration<double>(limit).count()) << " (Ctrl-C ends)\x1b[K"
       << std::flush;
  spinnerVisible_ = true;
}

void TerminalView::ClearSpinner() {
  if (!spinnerVisible_) return;
  out_ << "\r\x1b[K" << std::flush;
  spinnerVisible_ = false;
}

void TerminalView::ClearBar() {
  ClearSpinner();
  if (!barVisible_) return;
  DrawBar(true);  // leave the bar's last state on screen
  out_ << std::endl;
  barVisible_ = false;
}

void TerminalView::Finish() {
  ClearBar();
  FlushVersion();
}

// A version read first shows "not available", then the version: print only where it ended.
void TerminalView::SetVersionText(const std::string& text) {
  pendingVersion_ = text;
}

void TerminalView::FlushVersion() {
  if (pendingVersion_.empty()) return;
  if (!options_.quiet) out_ << pendingVersion_ << std::endl;
  pendingVersion_.clear();
}

void TerminalView::SetFileText(const std::string& text) {
  ClearBar();
  if (!options_.quiet) out_ << "File: " << text << std::endl;
}

void TerminalView::OnRetry(app::RetryKind, std::uint32_t, std::int32_t) {
  ++retries_;
}

void TerminalView::ShowMessage(const std::string& text, const std::string& caption) {
  ClearBar();
  FlushVersion();
  ++errorCount_;
  const char* red = options_.color ? "\x1b[31m" : "";
  const char* reset = options_.color ? "\x1b[0m" : "";
  err_ << red << caption << ':' << reset << ' ';
  for (char c : text) {
    err_ << c;
    if (c == '\n') err_ << "  ";  // indent the reason lines under the message
  }
  err_ << std::endl;
}

void TerminalView::OnStepStarted(app::Step step) {
  errorsAtStart_[static_cast<std::size_t>(step)] = errorCount_;
  ClearBar();  // the last phase's bar stays on screen as it ended
  if (step == app::Step::Erase) StartPhase(Phase::Erase);
  if (step == app::Step::Program) StartPhase(Phase::Program);
  if (step == app::Step::Verify) StartPhase(Phase::Verify);
}

void TerminalView::OnStepEnded(app::Step step, const app::StepOutcome& outcome) {
  if (outcome.state == app::StepState::Failed &&
      errorCount_ == errorsAtStart_[static_cast<std::size_t>(step)])
    ShowMessage(outcome.message, "Error");
}

std::string TerminalView::PortEntry(int index) const {
  if (index < 0 || index >= PortEntryCount()) return {};
  return ports_[static_cast<std::size_t>(index)];
}

void TerminalView::Pause(unsigned milliseconds) {
  if (sleeper_)
    sleeper_(milliseconds);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace vestrel::cli
