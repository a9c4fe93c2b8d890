// The hands-free load at the desk, in the core: reset through the modem lines, waiting for the
// port and the bootloader, the reset after the load, the window's long options, a file read
// again when it changed, a dropped file and the remembered file, port and baud rate.
#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>

#include "app/loader.h"
#include "tests/support/fake_bootloader.h"
#include "tests/support/hex_text.h"
#include "tests/support/recording_view.h"
#include "tests/support/step_outcome.h"

namespace vestrel::app {
namespace {

using test::Bytes;
using test::FakeBootloader;
using Strings = std::vector<std::string>;

constexpr std::uint32_t kDeskFlashSize = 4096;

protocol::ResetSequence Reset(const char* text) {
  std::string error;
  return *protocol::ParseResetSequence(text, error);
}

class DeskLoop : public ::testing::Test {
 protected:
  DeskLoop() {
    const unsigned ports[] = {0, 2};  // COM1 and COM3
    loader.FillPortList(ports);
    // The time that passes: the pauses, and 100 ms for each unanswered probe, as on a line.
    fake.onSync = [this] { pausesAtSync = view.pauses; };
    loader.SetClock([this] {
      const unsigned paused = std::accumulate(view.pauses.begin(), view.pauses.end(), 0u);
      return std::chrono::steady_clock::time_point() +
             std::chrono::milliseconds(paused + 100 * static_cast<unsigned>(fake.probes));
    });
  }

  std::string HexFile(const std::string& name, const Bytes& data) {
    return dir.Write(name, test::HexText().Data(0x1D000000, data).End().Text());
  }

  void Options(std::initializer_list<std::string> args) {
    const std::vector<std::string> list(args);
    loader.ReadCommandLine(list);
  }

  // The pauses that came before the sync began (the version read has its own).
  std::vector<unsigned> PausesBeforeTheSync() const { return pausesAtSync; }

  bool Shown(const std::string& info) const {
    return std::find(view.infos.begin(), view.infos.end(), info) != view.infos.end();
  }

  test::TempDir dir;
  FakeBootloader fake{kDeskFlashSize};
  test::RecordingView view;
  Loader loader{view, fake, [](unsigned n) { return "/dev/test/com" + std::to_string(n); }};
  std::vector<unsigned> pausesAtSync;
};

TEST_F(DeskLoop, ResetRunsAfterTheOpenAndBeforeTheSync) {
  loader.SetResetSequence(Reset("dtr-pulse"));
  fake.onModemLine = [this](protocol::ModemLine, bool) {
    EXPECT_TRUE(fake.IsOpen());
    EXPECT_EQ(fake.syncs, 0);
  };
  loader.ConnectSpeedButtonClick();
  EXPECT_TRUE(test::Ok(loader, app::Step::Connect));
  EXPECT_EQ(fake.modemChanges, (Strings{"DTR=1", "DTR=0"}));
  EXPECT_EQ(PausesBeforeTheSync(), (std::vector<unsigned>{100, 100}));
  EXPECT_EQ(view.infos, (Strings{"Reset (dtr-pulse)...", "Baud Sync...", "Connected..."}));
}

TEST_F(DeskLoop, APortWithoutModemLinesFailsTheConnectBeforeAnySync) {
  loader.SetResetSequence(Reset("rts=1,rts=0"));
  fake.modemFailure = "/dev/pts/9 has no modem lines (DTR and RTS) to reset the board with.";
  loader.ConnectSpeedButtonClick();
  EXPECT_FALSE(test::Ok(loader, app::Step::Connect));
  EXPECT_EQ(fake.syncs + fake.probes, 0);
  EXPECT_FALSE(fake.IsOpen());
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text, "Unable to Reset\n" + fake.modemFailure);
  EXPECT_EQ(view.messages[0].caption, "Port Error");
  EXPECT_EQ(view.Info(), "ERROR: Reset COM1 failed");
}

TEST_F(DeskLoop, WaitLooksForAnAbsentPortUntilItAppears) {
  loader.SetWaitSeconds(5);
  fake.absentOpens = 3;
  loader.ConnectSpeedButtonClick();
  EXPECT_TRUE(test::Ok(loader, app::Step::Connect));
  EXPECT_EQ(PausesBeforeTheSync(), (std::vector<unsigned>{100, 100, 100}));
  EXPECT_EQ(view.infos, (Strings{"Waiting for COM1 to appear", "Baud Sync...", "Connected..."}));
  EXPECT_TRUE(view.messages.empty());
}

// The window's port list holds the ports found at start-up; an adapter plugged in later is not
// among them, but the port that the command line names is waited for all the same.
TEST_F(DeskLoop, TheWindowWaitsForAPortThatItsListDoesNotHoldYet) {
  fake.absentOpens = 2;
  Options({"-c5", "-b7", "--wait=5"});
  loader.FormActivate();
  EXPECT_TRUE(test::Ok(loader, app::Step::Connect));
  EXPECT_EQ(fake.lastPort->displayName, "COM5");
  EXPECT_EQ(fake.lastPort->devicePath, "/dev/test/com5");
}

TEST_F(DeskLoop, WaitKeepsProbingAndResettingUntilTheBootloaderAnswers) {
  loader.SetWaitSeconds(30);
  loader.SetResetSequence(Reset("dtr-pulse"));
  fake.syncAnswers = false;
  int resets = 0;
  fake.onModemLine = [&](protocol::ModemLine, bool on) {
    if (!on && ++resets == 3) fake.syncAnswers = true;  // the third reset enters the bootloader
  };
  loader.ConnectSpeedButtonClick();
  EXPECT_TRUE(test::Ok(loader, app::Step::Connect));
  EXPECT_EQ(fake.probes, 41);  // two unanswered rounds of 20, then the answer
  EXPECT_EQ(fake.modemChanges.size(), 6u);
  EXPECT_EQ(view.infos,
            (Strings{"Reset (dtr-pulse)...", "Baud Sync...",
                     "Waiting for the bootloader on COM1: reset the board now", "Connected..."}));
}

TEST_F(DeskLoop, AWaitThatRunsOutSaysForWhatAndHowLong) {
  struct Case {
    int absentOpens;
    const char* box;
    const char* caption;
  };
  const Case cases[] = {
      {1000, "Unable to Open COMM Port\nCOM1 (/dev/null) did not appear within 3 s.", "Port Error"},
      {0, "ERROR:  COMM Sync\nNo answer from the bootloader on COM1 within 3 s.", "Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.box);
    FakeBootloader silent(kDeskFlashSize);
    silent.syncAnswers = false;
    silent.absentOpens = c.absentOpens;
    test::RecordingView shown;
    Loader waiting(shown, silent, [](unsigned) { return std::string("/dev/null"); });
    const unsigned ports[] = {0};
    waiting.FillPortList(ports);
    waiting.SetWaitSeconds(3);
    waiting.SetClock([&] {
      const unsigned paused = std::accumulate(shown.pauses.begin(), shown.pauses.end(), 0u);
      return std::chrono::steady_clock::time_point() +
             std::chrono::milliseconds(paused + 100 * static_cast<unsigned>(silent.probes));
    });
    waiting.ConnectSpeedButtonClick();
    EXPECT_FALSE(test::Ok(waiting, app::Step::Connect));
    EXPECT_FALSE(silent.IsOpen());
    ASSERT_EQ(shown.messages.size(), 1u);
    EXPECT_EQ(shown.messages[0].text, c.box);
    EXPECT_EQ(shown.messages[0].caption, c.caption);
  }
}

TEST_F(DeskLoop, AStopOrAClosingWindowEndsTheWait) {
  loader.SetWaitSeconds(3600);
  fake.syncAnswers = false;
  loader.SetStopCheck([this] { return fake.probes >= 5 ? "Stopped by Ctrl-C (SIGINT)." : ""; });
  loader.ConnectSpeedButtonClick();
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text,
            "ERROR:  COMM Sync\nNo answer from the bootloader on COM1 (Stopped by Ctrl-C "
            "(SIGINT).)");

  loader.SetStopCheck({});
  fake.absentOpens = 1000;
  loader.SetWaitCancelCheck([this] { return view.pauses.size() >= 2; });
  loader.ConnectSpeedButtonClick();
  ASSERT_EQ(view.messages.size(), 2u);
  EXPECT_EQ(
      view.messages[1].text,
      "Unable to Open COMM Port\nCOM1 (/dev/test/com1) did not appear (the window is closing).");
}

TEST_F(DeskLoop, WindowOptionsResetBeforeTheLoadAndStartTheApplicationAfterIt) {
  const Bytes data = test::Pattern(kDeskFlashSize);
  Options({"-f" + HexFile("app.hex", data), "-c3", "-b7", "-a", "--reset=dtr-hold-rts-pulse",
           "--reset-after"});
  EXPECT_TRUE(loader.FormActivate());
  EXPECT_EQ(fake.flash, data);
  EXPECT_EQ(fake.modemChanges, (Strings{"DTR=1", "RTS=1", "RTS=0", "DTR=0", "RTS=1", "RTS=0"}));
  EXPECT_EQ(view.Info(), "Reset (rts=1,wait=100,rts=0): starting the application");
  EXPECT_TRUE(test::Ok(loader, app::Step::ResetAfter));
  EXPECT_EQ(loader.FormClose(), 0);
}

TEST_F(DeskLoop, NoResetAfterALoadThatFailed) {
  fake.finishStatus = 0x47;  // the bootloader refuses the closing report
  Options({"-f" + HexFile("app.hex", test::Pattern(kDeskFlashSize)), "-c3", "-b7", "-e", "-p",
           "--reset-after=dtr-pulse"});
  loader.FormActivate();
  EXPECT_TRUE(fake.modemChanges.empty());
  EXPECT_EQ(view.Info(), "Programm: Verify OK ERROR");
  EXPECT_EQ(loader.FormClose(), 1);
  EXPECT_EQ(ExitCode(loader.Result(), ExitRule::Terminal), 1);
}

TEST_F(DeskLoop, ARefusedWindowOptionSendsNothing) {
  const std::vector<Strings> refused = {
      {"--wait=0", "-c3", "-b7", "-e"},
      {"--wait=ten", "-c3", "-b7", "-e"},
      {"--reset=dtr-pulses", "-c3", "-b7", "-e"},
      {"--reset=dtr=1", "--reset-after", "-c3", "-b7", "-e"},  // a written reset names no start
  };
  for (const Strings& args : refused) {
    SCOPED_TRACE(args[0]);
    FakeBootloader untouched(kDeskFlashSize);
    test::RecordingView shown;
    Loader window(shown, untouched, [](unsigned) { return std::string("/dev/null"); });
    window.ReadCommandLine(args);
    window.FillPortList(std::vector<unsigned>{2});
    window.FormActivate();
    EXPECT_EQ(untouched.opens, 0);
    ASSERT_EQ(shown.MessageHeads(), Strings{"Command Line Error"});
    EXPECT_EQ(window.FormClose(), 1);
  }
  // Unknown long options still count for nothing.
  Options({"--colour=blue"});
  EXPECT_EQ(loader.CommandLineError(), "");
}

TEST_F(DeskLoop, ProgramReadsAFileThatChangedOnDiskAgainAndSaysSo) {
  const std::string file = HexFile("app.hex", test::Pattern(kDeskFlashSize, 1));
  loader.LoadHexFile(file);
  loader.ConnectSpeedButtonClick();
  loader.ProgramSpeedButtonClick();
  EXPECT_FALSE(Shown("File changed on disk, read again: " + file));

  const Bytes rebuilt = test::Pattern(kDeskFlashSize / 2, 2);
  HexFile("app.hex", rebuilt);
  loader.ProgramSpeedButtonClick();
  EXPECT_TRUE(Shown("File changed on disk, read again: " + file));
  EXPECT_TRUE(test::Ok(loader, app::Step::Program));
  EXPECT_TRUE(std::equal(rebuilt.begin(), rebuilt.end(), fake.flash.begin()));

  // A rebuild that is broken sends nothing.
  dir.Write("app.hex", ":0400000001020304F3\n");
  const std::size_t requests = fake.requests.size();
  loader.ProgramSpeedButtonClick();
  EXPECT_FALSE(test::Ok(loader, app::Step::Program));
  EXPECT_EQ(view.MessageHeads().back(), "HEX File Error");
  EXPECT_EQ(view.Info(), "Programm: Failed");
  EXPECT_EQ(fake.requests.size(), requests);
}

TEST_F(DeskLoop, ADroppedFileOpensUnlessTheCommandLineNamesTheFile) {
  const std::string dropped = HexFile("dropped.hex", test::Pattern(64));
  loader.FileDropped(dropped);
  EXPECT_TRUE(test::Ok(loader, app::Step::File));
  EXPECT_EQ(view.fileText, dropped);

  Options({"-f" + HexFile("named.hex", test::Pattern(32))});
  loader.FormActivate();
  loader.FileDropped(dropped);
  EXPECT_EQ(loader.Result().file, dir.File("named.hex"));
  EXPECT_EQ(view.Info(), "The command line names the file: " + dir.File("named.hex"));
}

TEST_F(DeskLoop, TheWindowRemembersWhatTheCommandLineDoesNotName) {
  const std::string settings = dir.File("config/window.conf");
  const std::string first = HexFile("first.hex", test::Pattern(64));
  loader.RememberSettingsIn(settings);
  loader.FormActivate();
  loader.LoadHexFile(first);
  view.SelectPortIndex(1);
  view.SelectBaudIndex(2);
  loader.FormClose();
  EXPECT_EQ(ReadWindowSettings(settings), (WindowSettings{first, "Com3", 2}));

  struct Window {
    FakeBootloader fake{kDeskFlashSize};
    test::RecordingView view;
    Loader loader{view, fake, [](unsigned) { return std::string("/dev/null"); }};
  };
  Window again;
  again.loader.FillPortList(std::vector<unsigned>{0, 2});
  again.loader.RememberSettingsIn(settings);
  again.loader.FormActivate();
  EXPECT_EQ(again.view.fileText, first);
  EXPECT_EQ(again.view.portIndex, 1);
  EXPECT_EQ(again.view.baudIndex, 2);

  Window named;
  named.loader.FillPortList(std::vector<unsigned>{0, 2});
  named.loader.RememberSettingsIn(settings);
  const std::vector<std::string> args = {"-f" + HexFile("second.hex", test::Pattern(32)), "-c1"};
  named.loader.ReadCommandLine(args);
  named.loader.FormActivate();
  EXPECT_EQ(named.view.portIndex, 0);
  named.view.SelectBaudIndex(4);
  named.loader.FormClose();
  EXPECT_EQ(ReadWindowSettings(settings), (WindowSettings{first, "Com3", 4}));

  // A scripted run that names all three leaves no settings file behind.
  Window scripted;
  scripted.loader.FillPortList(std::vector<unsigned>{0, 2});
  scripted.loader.RememberSettingsIn(dir.File("elsewhere/window.conf"));
  const std::vector<std::string> all = {"-f" + first, "-c3", "-b7"};
  scripted.loader.ReadCommandLine(all);
  scripted.loader.FormActivate();
  scripted.loader.FormClose();
  EXPECT_FALSE(std::filesystem::exists(dir.File("elsewhere/window.conf")));

  dir.Write("config/window.conf", std::string("file\0=x\nbaud=9\nport", 19));
  EXPECT_EQ(ReadWindowSettings(settings), WindowSettings{});
}

}  // namespace
}  // namespace vestrel::app
