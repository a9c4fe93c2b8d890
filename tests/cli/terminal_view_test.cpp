#include "app/cli/terminal_view.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vestrel::cli {
namespace {

using namespace std::chrono_literals;

// A step begins as the loader begins it: its event, then its information line.
void Begin(TerminalView& view, app::Step step, const char* info) {
  view.OnStepStarted(step);
  view.SetInfoText(info);
}

void Percent(TerminalView& view, app::Phase phase, int percent, std::uint32_t total = 0) {
  const auto done =
      static_cast<std::uint32_t>(std::uint64_t{total} * static_cast<unsigned>(percent) / 100);
  view.OnProgress({phase, percent, 0, done, total});
}

struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  TerminalView::Clock Get() {
    return [this] { return now; };
  }
};

TEST(TerminalViewPlain, PrintsOneLinePerTenPercentWithoutCarriageReturns) {
  std::ostringstream out, err;
  TerminalView view(out, err, {ProgressMode::Auto, false, false, false});
  Begin(view, app::Step::Program, "Programming...");
  for (int p : {5, 12, 25, 37, 50, 62, 75, 87, 100}) Percent(view, app::Phase::Program, p);
  EXPECT_EQ(out.str(),
            "Programming...\nProgramming: 12%\nProgramming: 25%\nProgramming: 37%\n"
            "Programming: 50%\nProgramming: 62%\nProgramming: 75%\nProgramming: 87%\n"
            "Programming: 100%\n");
  EXPECT_EQ(out.str().find('\r'), std::string::npos);
}

TEST(TerminalViewPlain, ProgressMovingBackIsNotRepeated) {
  std::ostringstream out, err;
  TerminalView view(out, err, {});
  Begin(view, app::Step::Verify, "Verifying...");
  for (int p : {30, 20, 30, 41}) Percent(view, app::Phase::Verify, p);  // 20: a page again
  EXPECT_EQ(out.str(), "Verifying...\nVerifying: 30%\nVerifying: 41%\n");
}

TEST(TerminalViewPlain, NoProgressOutsideAPhaseOrWhenDisabled) {
  std::ostringstream out, err;
  TerminalView never(out, err, {ProgressMode::Never, false, false, false});
  Begin(never, app::Step::Erase, "Erasing...");
  Percent(never, app::Phase::Erase, 100);
  TerminalView idle(out, err, {});
  Percent(idle, app::Phase::Erase, 50);
  EXPECT_EQ(out.str(), "Erasing...\n");
}

TEST(TerminalViewBar, RedrawsAtMostFiveTimesASecondAndEndsWithALine) {
  std::ostringstream out, err;
  FakeClock clock;
  TerminalView view(out, err, {ProgressMode::Auto, true, false, false}, clock.Get());
  Begin(view, app::Step::Program, "Programming...");
  for (int p = 1; p <= 99; ++p) {
    clock.now += 10ms;  // 100 updates within one second
    Percent(view, app::Phase::Program, p, 8u * 512u);
  }
  Percent(view, app::Phase::Program, 100, 8u * 512u);
  view.SetInfoText("Programm: Verifying");
  const std::string text = out.str();
  const auto redraws = std::count(text.begin(), text.end(), '\r');
  EXPECT_GE(redraws, 5);
  EXPECT_LE(redraws, 8);  // ~1 s of updates at 200 ms, the forced 100 % and the closing draw
  EXPECT_NE(text.find("100%  4.0 KiB"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 21), "\nProgramm: Verifying\n");
}

TEST(TerminalViewBar, ShowsRateAndTimeLeft) {
  std::ostringstream out, err;
  FakeClock clock;
  TerminalView view(out, err, {ProgressMode::Always, false, false, false}, clock.Get());
  Begin(view, app::Step::Verify, "Verifying...");
  clock.now += 10s;
  Percent(view, app::Phase::Verify, 50, 100u * 1024u);
  EXPECT_NE(out.str().find(" 50%  50.0 KiB  5.0 KiB/s  0:10 left"), std::string::npos);
}

TEST(TerminalViewMessages, ErrorsGoToStderrWithTheirCaptionEvenWhenQuiet) {
  std::ostringstream out, err;
  TerminalView view(out, err, {ProgressMode::Auto, false, false, true});
  view.SetInfoText("Baud Sync...");
  view.ShowMessage("Unable to Open COMM Port\nPermission denied", "Port Error");
  view.ShowMessage("HEX File Error", "Error");
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(),
            "Port Error: Unable to Open COMM Port\n  Permission denied\nError: HEX File Error\n");
  EXPECT_EQ(view.ErrorCount(), 2);
}

// A failed step that showed no box (a bootloader that never answered) still says why.
TEST(TerminalViewMessages, AFailureWithoutABoxIsPrintedWhenItsStepEnds) {
  std::ostringstream out, err;
  TerminalView view(out, err, {ProgressMode::Auto, false, false, true});
  const app::StepOutcome silent{true, app::StepState::Failed, ErrorClass::NoSync,
                                "ERROR:  COMM Sync\nNo answer."};
  view.OnStepStarted(app::Step::Connect);
  view.OnStepEnded(app::Step::Connect, silent);
  view.OnStepStarted(app::Step::Erase);
  view.ShowMessage("Erase Flash Receive Error", "Error");
  view.OnStepEnded(app::Step::Erase, {true, app::StepState::Failed, ErrorClass::EraseFailed,
                                      "Erase Flash Receive Error"});
  EXPECT_EQ(err.str(),
            "Error: ERROR:  COMM Sync\n  No answer.\nError: Erase Flash Receive Error\n");
}

TEST(TerminalViewMessages, VersionTextIsPrintedOnceItIsSettled) {
  std::ostringstream out, err;
  TerminalView view(out, err, {});
  view.SetVersionText("BL Version: N/A");
  view.SetVersionText("BL Version: v01.03");
  view.SetInfoText("Erasing...");
  view.SetVersionText("BL Version: N/A");
  view.ShowMessage("Read Version Receive Error", "Error");
  EXPECT_EQ(out.str(), "BL Version: v01.03\nErasing...\nBL Version: N/A\n");
}

TEST(TerminalViewLists, PortEntriesAndSelections) {
  std::ostringstream out, err;
  TerminalView view(out, err, {});
  EXPECT_EQ(view.SelectedBaudIndex(), 5);
  EXPECT_EQ(view.SelectedPortIndex(), -1);
  view.AddPortEntry("Com1");
  view.AddPortEntry("Com3");
  view.SelectPortIndex(1);
  EXPECT_EQ(view.PortEntry(view.SelectedPortIndex()), "Com3");
  EXPECT_EQ(view.PortEntry(2), "");
  EXPECT_EQ(view.PortEntry(-1), "");
}

}  // namespace
}  // namespace vestrel::cli
