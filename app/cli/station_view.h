// The production bench on a terminal: one row per port (waiting / loading 37 % / OK serial 1042
// / FAILED reason), redrawn in place a few times a second; in a log (not a terminal) a plain
// line per change, each starting with its port. A bell on a terminal and the --on-result
// command for every finished board.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "app/cli/terminal_view.h"
#include "app/station.h"

namespace vestrel::cli {

// A row as the screen words it: "waiting", "loading  37 %  serial 1042", "OK  serial 1042",
// "FAILED  serial 1042: reason".
std::string RowText(const app::PortRow& row);

class StationView final : public app::StationListener {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // Runs the --on-result command with the record; gives its exit code.
  using Hook = std::function<int(const app::AttemptRecord&)>;

  StationView(std::ostream& out, std::ostream& err, TerminalOptions options, std::string heading,
              Hook hook = {}, Clock clock = std::chrono::steady_clock::now);

  void OnWatching() override;
  void OnRow(const app::PortRow& row) override;
  void OnNotice(const std::string& text) override;
  void OnResult(const app::AttemptRecord& record) override;

  // Draws the rows a last time (on a terminal), so that later output starts below them.
  void Finish();

 private:
  bool DrawsTable() const;
  void Draw(bool force);
  void EraseTable();

  std::ostream& out_;
  std::ostream& err_;
  TerminalOptions options_;
  std::string heading_;
  Hook hook_;
  Clock clock_;

  std::mutex mutex_;  // rows change on the boards' threads
  std::vector<std::string> order_;
  std::map<std::string, app::PortRow> rows_;
  std::map<std::string, std::string> lastLine_;  // of the plain lines, per port
  bool watching_ = false;
  std::size_t drawnLines_ = 0;
  std::chrono::steady_clock::time_point lastDraw_{};
  std::mutex hookMutex_;  // one hook at a time: a label printer prints one label after another
};

}  // namespace vestrel::cli
