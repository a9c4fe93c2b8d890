#include "app/cli/terminal_view.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vestrel::cli {
namespace {

using namespace std::chrono_literals;

struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  TerminalView::Clock Get() {
    return [this] { return now; };
  }
};

TEST(TerminalViewPlain, PrintsOneLinePerTenPercentWithoutCarriageReturns) {
  std::ostringstream out, err;
  TerminalView view(out, err, {ProgressMode::Auto, false, false, false});
  view.SetInfoText("Programming...");
  for (int p : {5, 12, 25, 37, 50, 62, 75, 87, 100}) view.SetProgress(p);
  EXPECT_EQ(out.str(),
            "Programming...\nProgramming: 12%\nProgramming: 25%\nProgramming: 37%\n"
            "Programming: 50%\nProgramming: 62%\nProgramming: 75%\nProgramming: 87%\n"
            "Programming: 100%\n");
  EXPECT_EQ(out.str().find('\r'), std::string::npos);
}

TEST(TerminalViewPlain, ProgressMovingBackIsNotRepeated) {
  std::ostringstream out, err;
  TerminalView view(out, err, {});
  view.SetInfoText("Verifying...");
  view.SetProgress(30);
  view.SetProgress(20);  // a page written again
  view.SetProgress(30);
  view.SetProgress(41);
  EXPECT_EQ(out.str(), "Verifying...\nVerifying: 30%\nVerifying: 41%\n");
}

TEST(TerminalViewPlain, NoProgressOutsideAPhaseOrWhenDisabled) {
  std::ostringstream out, err;
  TerminalView never(out, err, {ProgressMode::Never, false, false, false});
  never.SetInfoText("Erasing...");
  never.SetProgress(100);
  TerminalView idle(out, err, {});
  idle.SetProgress(50);
  EXPECT_EQ(out.str(), "Erasing...\n");
}

TEST(TerminalViewBar, RedrawsAtMostFiveTimesASecondAndEndsWithALine) {
  std::ostringstream out, err;
  FakeClock clock;
  TerminalView view(out, err, {ProgressMode::Auto, true, false, false}, clock.Get());
  view.SetImageSizeSource([] { return 8u * 512u; });
  view.SetInfoText("Programming...");
  for (int p = 1; p <= 99; ++p) {
    clock.now += 10ms;  // 100 updates within one second
    view.SetProgress(p);
  }
  view.SetProgress(100);
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
  view.SetImageSizeSource([] { return 100u * 1024u; });
  view.SetInfoText("Verifying...");
  clock.now += 10s;
  view.SetProgress(50);
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
