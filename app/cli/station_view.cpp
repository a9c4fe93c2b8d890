#include "app/cli/station_view.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace vestrel::cli {
namespace {

constexpr auto kTableRedrawPeriod = std::chrono::milliseconds(200);
constexpr std::size_t kRowWidth = 79;  // a longer line would wrap and move the table

std::string FitRow(std::string line) {
  if (line.size() > kRowWidth) line = line.substr(0, kRowWidth - 3) + "...";
  return line;
}

std::string Serial(const app::PortRow& row) {
  return row.serial.empty() ? std::string() : "  serial " + row.serial;
}

}  // namespace

std::string RowText(const app::PortRow& row) {
  switch (row.phase) {
    case app::PortPhase::Waiting:
      return "waiting";
    case app::PortPhase::Present:
      return "plugged in before the start: plug it in again to load it";
    case app::PortPhase::Loading: {
      std::ostringstream text;
      text << "loading " << std::setw(3) << row.percent << " %" << Serial(row);
      return text.str();
    }
    case app::PortPhase::Ok:
      return "OK" + Serial(row);
    case app::PortPhase::Failed:
      return "FAILED" + Serial(row) + (row.reason.empty() ? "" : ": " + row.reason);
  }
  return {};
}

StationView::StationView(std::ostream& out, std::ostream& err, TerminalOptions options,
                         std::string heading, Hook hook, Clock clock)
    : out_(out),
      err_(err),
      options_(options),
      heading_(std::move(heading)),
      hook_(std::move(hook)),
      clock_(std::move(clock)) {}

void StationView::OnWatching() {
  std::lock_guard lock(mutex_);
  watching_ = true;
  if (options_.quiet) return;
  if (DrawsTable())
    Draw(true);
  else
    out_ << heading_ << std::endl;
}

bool StationView::DrawsTable() const {
  return !options_.quiet && options_.progress != ProgressMode::Never &&
         (options_.progress == ProgressMode::Always || options_.outIsTerminal);
}

void StationView::Draw(bool force) {
  const auto now = clock_();
  if (drawnLines_ && !force && now - lastDraw_ < kTableRedrawPeriod) return;
  lastDraw_ = now;
  if (drawnLines_) out_ << "\x1b[" << drawnLines_ << 'A';
  std::size_t width = 0;
  for (const std::string& port : order_) width = std::max(width, port.size());
  out_ << '\r' << FitRow(heading_) << "\x1b[K\n";
  for (const std::string& port : order_) {
    std::ostringstream line;
    line << "  " << std::left << std::setw(static_cast<int>(width)) << port << "  "
         << RowText(rows_[port]);
    out_ << '\r' << FitRow(line.str()) << "\x1b[K\n";
  }
  out_ << std::flush;
  drawnLines_ = order_.size() + 1;
}

void StationView::EraseTable() {
  if (!drawnLines_) return;
  out_ << "\x1b[" << drawnLines_ << "A\r\x1b[J" << std::flush;
  drawnLines_ = 0;
}

void StationView::OnRow(const app::PortRow& row) {
  std::lock_guard lock(mutex_);
  const auto known = rows_.find(row.port);
  // Only the percent of a load waits for the next redraw; a new row or phase shows at once.
  const bool changed = known == rows_.end() || known->second.phase != row.phase;
  if (known == rows_.end()) order_.push_back(row.port);
  rows_[row.port] = row;
  if (options_.quiet) return;
  if (DrawsTable()) {
    if (watching_) Draw(changed);
    return;
  }
  // Plain lines: every change of phase, and loading in steps of 10 %.
  app::PortRow shown = row;
  if (shown.phase == app::PortPhase::Loading) {
    if (options_.progress == ProgressMode::Never && row.percent > 0) return;
    shown.percent = shown.percent / 10 * 10;
  }
  const std::string line = RowText(shown);
  if (lastLine_[row.port] == line) return;
  lastLine_[row.port] = line;
  out_ << '[' << row.port << "] " << line << std::endl;
}

void StationView::OnNotice(const std::string& text) {
  std::lock_guard lock(mutex_);
  const bool redraw = drawnLines_ != 0;
  EraseTable();
  err_ << "vestrel-cli station: " << text << std::endl;
  if (redraw) Draw(true);
}

void StationView::OnResult(const app::AttemptRecord& record) {
  {
    std::lock_guard lock(mutex_);
    if (options_.outIsTerminal) out_ << '\a' << std::flush;
  }
  if (!hook_) return;
  std::lock_guard hookLock(hookMutex_);
  if (const int code = hook_(record); code != 0)
    OnNotice("the --on-result command ended with " + std::to_string(code) + " for " + record.port);
}

void StationView::Finish() {
  std::lock_guard lock(mutex_);
  if (drawnLines_) Draw(true);
}

}  // namespace vestrel::cli
