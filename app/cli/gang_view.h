// The boards of a gang load on a terminal: one progress line per board, redrawn in place a few
// times a second; in a log (not a terminal) plain lines, each prefixed with its port. Errors go
// to stderr with the port in front, and the closing table lists every board's result.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "app/cli/terminal_view.h"
#include "app/gang_load.h"

namespace vestrel::cli {

class GangView final : public app::GangListener {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  GangView(std::ostream& out, std::ostream& err, TerminalOptions options,
           std::vector<std::string> ports, Clock clock = std::chrono::steady_clock::now);

  void OnText(std::size_t board, const std::string& text) override;
  void OnStepStarted(std::size_t board, app::Step step) override;
  void OnStepEnded(std::size_t board, app::Step step, const app::StepOutcome& outcome) override;
  void OnProgress(std::size_t board, const app::Progress& progress) override;
  void OnMessage(std::size_t board, const std::string& text, const std::string& caption) override;
  void OnDone(std::size_t board, const app::BoardResult& result) override;

  // Draws the lines a last time (on a terminal), so that later output starts below them.
  void Finish();

 private:
  struct Board {
    std::string text;   // the last information line
    std::string phase;  // "Erasing", "Programming", "Verifying", or "" between steps
    int percent = 0;
    int lastDecile = 0;   // of the plain lines
    std::string outcome;  // set when done
    int errorsShown = 0;
  };

  bool DrawsLines() const;
  bool ShowsProgress() const;
  std::string Label(std::size_t board) const;
  std::string Line(std::size_t board) const;
  void Draw(bool force);
  void EraseLines();
  void PrintError(std::size_t board, const std::string& text, const std::string& caption);

  std::ostream& out_;
  std::ostream& err_;
  TerminalOptions options_;
  std::vector<std::string> ports_;
  Clock clock_;
  std::size_t labelWidth_ = 0;

  std::mutex mutex_;  // the boards report from their threads
  std::vector<Board> boards_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// The closing table: port, bootloader version, flash size, result, retries, seconds and the
// first error of every board, then a line with the count that succeeded and the exit code.
std::string GangTable(const app::GangOutcome& outcome, int exitCode);

}  // namespace vestrel::cli
