#include "app/cli/gang_view.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

namespace vestrel::cli {
namespace {

constexpr auto kTableRedrawInterval = std::chrono::milliseconds(200);
constexpr int kTableBarWidth = 20;
// Lines longer than a terminal is wide would wrap and move the block under the cursor.
constexpr std::size_t kLineWidth = 79;

// The phases that show a bar, by their step.
std::string PhaseOf(app::Step step) {
  switch (step) {
    case app::Step::Erase:
      return "Erasing";
    case app::Step::Program:
      return "Programming";
    case app::Step::Verify:
      return "Verifying";
    default:
      return {};
  }
}

std::string Fit(std::string line, std::size_t width) {
  if (line.size() > width) line = line.substr(0, width - 3) + "...";
  return line;
}

std::string Outcome(const app::BoardResult& result) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", result.seconds);
  if (result.ok()) return std::string("ok in ") + seconds;
  const std::string error = result.FirstErrorLine();
  return "FAILED after " + std::string(seconds) + (error.empty() ? "" : ": " + error);
}

}  // namespace

GangView::GangView(std::ostream& out, std::ostream& err, TerminalOptions options,
                   std::vector<std::string> ports, Clock clock)
    : out_(out),
      err_(err),
      options_(options),
      ports_(std::move(ports)),
      clock_(std::move(clock)),
      boards_(ports_.size()) {
  for (const std::string& port : ports_) labelWidth_ = std::max(labelWidth_, port.size());
}

bool GangView::ShowsProgress() const {
  return !options_.quiet && options_.progress != ProgressMode::Never;
}

bool GangView::DrawsLines() const {
  return ShowsProgress() && (options_.progress == ProgressMode::Always || options_.outIsTerminal);
}

std::string GangView::Label(std::size_t board) const {
  return "[" + ports_[board] + "]";
}

std::string GangView::Line(std::size_t board) const {
  const Board& b = boards_[board];
  std::ostringstream line;
  line << std::left << std::setw(static_cast<int>(labelWidth_) + 2) << ports_[board] << ' ';
  if (!b.outcome.empty()) {
    line << b.outcome;
  } else if (!b.phase.empty()) {
    const int filled = b.percent * kTableBarWidth / 100;
    line << std::setw(12) << b.phase << '[' << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(kTableBarWidth - filled), ' ') << "] "
         << std::right << std::setw(3) << b.percent << '%';
  } else {
    line << b.text;
  }
  return Fit(line.str(), kLineWidth);
}

void GangView::Draw(bool force) {
  const auto now = clock_();
  if (drawn_ && !force && now - lastDraw_ < kTableRedrawInterval) return;
  lastDraw_ = now;
  if (drawn_) out_ << "\x1b[" << boards_.size() << 'A';
  for (std::size_t board = 0; board < boards_.size(); ++board)
    out_ << '\r' << Line(board) << "\x1b[K\n";
  out_ << std::flush;
  drawn_ = true;
}

// Clears the block, so that an error can be printed where it stood; Draw puts it back below.
void GangView::EraseLines() {
  if (!drawn_) return;
  out_ << "\x1b[" << boards_.size() << "A\r\x1b[J" << std::flush;
  drawn_ = false;
}

void GangView::OnStepStarted(std::size_t board, app::Step step) {
  std::lock_guard lock(mutex_);
  Board& b = boards_[board];
  b.phase = PhaseOf(step);
  b.percent = 0;
  b.lastDecile = 0;
}

void GangView::OnStepEnded(std::size_t board, app::Step, const app::StepOutcome&) {
  std::lock_guard lock(mutex_);
  boards_[board].phase.clear();
}

void GangView::OnText(std::size_t board, const std::string& text) {
  std::lock_guard lock(mutex_);
  boards_[board].text = text;
  if (options_.quiet) return;
  if (DrawsLines())
    Draw(false);
  else
    out_ << Label(board) << ' ' << text << std::endl;
}

void GangView::OnProgress(std::size_t board, const app::Progress& progress) {
  std::lock_guard lock(mutex_);
  Board& b = boards_[board];
  b.percent = std::clamp(progress.percent, 0, 100);
  if (!ShowsProgress() || b.phase.empty()) return;
  if (DrawsLines()) {
    Draw(false);
    return;
  }
  const int decile = b.percent / 10;
  if (decile <= b.lastDecile) return;
  b.lastDecile = decile;
  out_ << Label(board) << ' ' << b.phase << ": " << b.percent << '%' << std::endl;
}

void GangView::OnMessage(std::size_t board, const std::string& text, const std::string& caption) {
  std::lock_guard lock(mutex_);
  PrintError(board, text, caption);
}

void GangView::PrintError(std::size_t board, const std::string& text, const std::string& caption) {
  ++boards_[board].errorsShown;
  const bool redraw = drawn_;
  EraseLines();
  const char* red = options_.color ? "\x1b[31m" : "";
  const char* reset = options_.color ? "\x1b[0m" : "";
  err_ << Label(board) << ' ' << red << caption << ':' << reset << ' ';
  for (const char c : text) {
    err_ << c;
    if (c == '\n') err_ << "  ";  // the reason lines under the message
  }
  err_ << std::endl;
  if (redraw) Draw(true);
}

void GangView::OnDone(std::size_t board, const app::BoardResult& result) {
  std::lock_guard lock(mutex_);
  // A failure that showed no box of its own (a bootloader that never answered) still says why.
  if (!result.ok() && boards_[board].errorsShown == 0)
    PrintError(board, result.FirstError().message, "Error");
  boards_[board].outcome = Outcome(result);
  if (options_.quiet) return;
  if (DrawsLines())
    Draw(true);
  else
    out_ << Label(board) << " done: " << boards_[board].outcome << std::endl;
}

void GangView::Finish() {
  std::lock_guard lock(mutex_);
  if (DrawsLines() && drawn_) Draw(true);
}

std::string GangTable(const app::GangOutcome& outcome, int exitCode) {
  const std::vector<std::string> head = {"Port",    "Version", "Flash",      "Result",
                                         "Retries", "Seconds", "First error"};
  std::vector<std::vector<std::string>> rows{head};
  std::size_t succeeded = 0;
  for (const app::BoardResult& b : outcome.boards) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", b.seconds);
    rows.push_back({b.port, b.load.version.empty() ? "-" : b.load.version,
                    b.load.flashSize ? std::to_string(b.load.flashSize) : "-",
                    b.ok() ? "ok" : "FAILED", std::to_string(b.load.retries), seconds,
                    b.FirstErrorLine()});
    if (b.ok()) ++succeeded;
  }
  std::vector<std::size_t> widths(head.size(), 0);
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  std::ostringstream table;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    table << line << '\n';
  }
  table << succeeded << " of " << outcome.boards.size() << " boards succeeded; exit code "
        << exitCode << '\n';
  return table.str();
}

}  // namespace vestrel::cli
