// The loader's view on a terminal: information texts as lines, error boxes on stderr, and a
// progress bar per phase (erase, program, verify) — redrawn a few times a second on a terminal,
// a plain line every 10 % otherwise so that logs read it live.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/load_events.h"
#include "app/loader.h"
#include "protocol/loader_view.h"

namespace vestrel::cli {

enum class ProgressMode { Auto, Always, Never };

struct TerminalOptions {
  ProgressMode progress = ProgressMode::Auto;
  bool outIsTerminal = false;  // stdout is a terminal: draw a bar in Auto mode
  bool color = false;          // colour the error prefix
  bool quiet = false;          // errors only
};

class TerminalView : public LoaderView, public app::LoadListener {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Sleeper = std::function<void(unsigned milliseconds)>;

  TerminalView(std::ostream& out, std::ostream& err, TerminalOptions options,
               Clock clock = std::chrono::steady_clock::now, Sleeper sleeper = {});

  // Ends a bar that is still drawn, so that later output starts on a fresh line.
  void Finish();

  int ErrorCount() const { return errorCount_; }
  int RetryCount() const { return retries_; }

  void SetInfoText(const std::string& text) override;
  void SetPercentText(const std::string&) override {}  // the bar shows the percent
  void SetProgress(int percent) override;
  int Progress() const override { return progress_; }
  void SetVersionText(const std::string& text) override;
  void SetFileText(const std::string& text) override;
  void SetStatusPanel(int, const std::string&) override {}
  void ShowMessage(const std::string& text, const std::string& caption) override;
  void SetButtonEnabled(Button, bool) override {}
  void SetListEnabled(ListBox, bool) override {}
  void AddPortEntry(const std::string& text) override { ports_.push_back(text); }
  int PortEntryCount() const override { return static_cast<int>(ports_.size()); }
  std::string PortEntry(int index) const override;
  int SelectedPortIndex() const override { return selectedPort_; }
  void SelectPortIndex(int index) override { selectedPort_ = index; }
  int SelectedBaudIndex() const override { return selectedBaud_; }
  void SelectBaudIndex(int index) override { selectedBaud_ = index; }
  void ProcessMessages() override {}
  void Pause(unsigned milliseconds) override;

  // The bar follows the phases and their progress; while Connect waits, a spinner on a terminal.
  void OnProgress(const app::Progress& progress) override;
  void OnRetry(app::RetryKind kind, std::uint32_t address, std::int32_t count) override;
  void OnWaiting(std::chrono::milliseconds waited, std::chrono::milliseconds limit) override;
  // A failed step that showed no box of its own (a bootloader that never answered) says why on
  // stderr all the same, --quiet or not.
  void OnStepStarted(app::Step step) override;
  void OnStepEnded(app::Step step, const app::StepOutcome& outcome) override;

 private:
  enum class Phase { None, Erase, Program, Verify };

  bool DrawsBar() const;
  bool ShowsProgress() const;
  void StartPhase(Phase phase);
  void DrawBar(bool force);
  void PrintPlainStep();
  std::string BarLine() const;
  void ClearBar();
  void ClearSpinner();
  void FlushVersion();

  std::ostream& out_;
  std::ostream& err_;
  TerminalOptions options_;
  Clock clock_;
  Sleeper sleeper_;

  Phase phase_ = Phase::None;
  std::chrono::steady_clock::time_point phaseStart_{};
  std::chrono::steady_clock::time_point lastDraw_{};
  bool barVisible_ = false;
  bool spinnerVisible_ = false;
  unsigned spinnerFrame_ = 0;
  int lastDecile_ = 0;
  int progress_ = 0;         // the view's progress bar, as the erase counts it up
  int percent_ = 0;          // of the phase, as the bar shows it
  std::uint32_t total_ = 0;  // bytes of the image, for bytes and rates (0 for the erase)
  int retries_ = 0;
  int errorCount_ = 0;

  std::array<int, app::kStepCount> errorsAtStart_{};  // ErrorCount() when each step began
  std::string pendingVersion_;
  std::vector<std::string> ports_;
  int selectedPort_ = -1;
  int selectedBaud_ = 5;  // "38400", as the window starts
};

}  // namespace vestrel::cli
