// The typed outcome of a load: every failure carries a class and a reason, the exit-code rules
// read the outcome, lines handed in are never read again, and a reset's waits end on a stop.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <numeric>

#include "app/loader.h"
#include "protocol/frame.h"
#include "tests/support/fake_bootloader.h"
#include "tests/support/hex_text.h"
#include "tests/support/recording_view.h"

namespace vestrel::app {
namespace {

using protocol::kCmdEraseFlash;
using protocol::kCmdProgramBlock;
using protocol::kCmdReadMemory;
using protocol::kCmdReadVersion;
using test::Bytes;
using test::FakeBootloader;
using Fault = FakeBootloader::Fault;
using Strings = std::vector<std::string>;

constexpr std::uint32_t kFlash = 4096;
constexpr std::uint32_t kFirstBlock = 0x9D000000;

protocol::ResetSequence ResetOf(const char* text) {
  std::string error;
  return *protocol::ParseResetSequence(text, error);
}

// A loader on a fake bootloader whose clock moves with the pauses and the unanswered probes.
struct OutcomeRig {
  OutcomeRig() {
    const unsigned ports[] = {0, 2};  // COM1 and COM3
    loader.FillPortList(ports);
    // Time passes with the pauses and 100 ms for each unanswered probe, as on a line.
    loader.SetClock([this] { return Now(); });
  }

  std::chrono::steady_clock::time_point Now() const {
    const unsigned paused = std::accumulate(view.pauses.begin(), view.pauses.end(), 0u);
    return std::chrono::steady_clock::time_point() +
           std::chrono::milliseconds(paused + 100 * static_cast<unsigned>(fake.probes));
  }
  unsigned MillisecondsPassed() const {
    return static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Now().time_since_epoch()).count());
  }

  std::string HexFile(const Bytes& data, const char* name = "app.hex") {
    return dir.Write(name, test::HexText().Data(0x1D000000, data).End().Text());
  }

  void Options(std::vector<std::string> args) { loader.ReadCommandLine(args); }

  test::TempDir dir;
  FakeBootloader fake{kFlash};
  test::RecordingView view;
  Loader loader{view, fake, [](unsigned n) { return "/dev/test/com" + std::to_string(n); }};
};

class Outcome : public ::testing::Test, public OutcomeRig {};

// Whatever fails, the outcome says which step, of which class, and why: a report or a log never
// has an empty reason for a failed board.
TEST(Outcomes, EveryFailureHasAClassAndAReason) {
  struct Case {
    const char* name;
    std::function<void(OutcomeRig&)> prepare;
    Step step;
    ErrorClass error;
    const char* reason;  // a part of the message
  };
  const Case cases[] = {
      {"missing file",
       [](OutcomeRig& t) {
         t.Options({"-f" + t.dir.File("gone.hex"), "-c3", "-b7", "-a"});
       },
       Step::File, ErrorClass::FileUnreadable, "cannot open"},
      {"damaged file",
       [](OutcomeRig& t) {
         t.Options({"-f" + t.dir.Write("bad.hex", ":10000000FF\n"), "-c3", "-b7", "-a"});
       },
       Step::File, ErrorClass::FileInvalid, "HEX File Error"},
      {"busy port",
       [](OutcomeRig& t) {
         t.fake.openSucceeds = false;
         t.fake.openFailure = {ErrorClass::PortBusy, "Unable to Open COMM Port\nheld"};
       },
       Step::Connect, ErrorClass::PortBusy, "held"},
      {"silent bootloader", [](OutcomeRig& t) { t.fake.syncAnswers = false; }, Step::Connect,
       ErrorClass::NoSync,
       "No answer from the bootloader on COM3 to 20 sync probes at 115200 baud: is the board in "
       "its bootloader, and is the rate right?"},
      {"version never answered",
       [](OutcomeRig& t) {
         t.fake.receiveFaults[kCmdReadVersion] = std::deque<Fault>(
             protocol::kFailedRepliesBeforeLost, Fault{protocol::kTimedOut, false});
       },
       Step::Connect, ErrorClass::LinkLost, "No reply from the bootloader"},
      {"impossible flash size", [](OutcomeRig& t) { t.fake.reportedSize = 1000; }, Step::Connect,
       ErrorClass::BadReply, "not a whole number of 512-byte blocks"},
      {"erase never confirmed",
       [](OutcomeRig& t) {
         t.fake.receiveFaults[kCmdEraseFlash] =
             std::deque<Fault>(protocol::kEraseTries, Fault{protocol::kTimedOut, false});
       },
       Step::Erase, ErrorClass::EraseFailed, "Erase Flash Receive Error"},
      {"damaged replies",
       [](OutcomeRig& t) {
         t.fake.receiveFaults[kCmdProgramBlock] = std::deque<Fault>(
             protocol::kFailedRepliesBeforeLost, Fault{protocol::kChecksumError, false});
       },
       Step::Program, ErrorClass::LineNoisy, "damaged replies"},
      {"page never reads back", [](OutcomeRig& t) { t.fake.wrongReadBacks[kFirstBlock] = 1000; },
       Step::Program, ErrorClass::ProgramFailed, "Send Program Error Addr: 0x9D001000"},
      {"refused finish", [](OutcomeRig& t) { t.fake.finishStatus = 0x47; }, Step::Program,
       ErrorClass::FinishRefused, "refused the closing report"},
      {"stopped",
       [](OutcomeRig& t) {
         t.loader.SetStopCheck([&t] {
           return t.fake.RequestsOf(kCmdProgramBlock).empty() ? "" : "Stopped by SIGTERM.";
         });
       },
       Step::Program, ErrorClass::Stopped, "Stopped by SIGTERM."},
      {"no modem lines",
       [](OutcomeRig& t) {
         t.loader.SetResetSequence(ResetOf("dtr-pulse"));
         t.fake.modemFailure = "/dev/pts/9 has no modem lines";
       },
       Step::Connect, ErrorClass::ResetFailed, "has no modem lines"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OutcomeRig t;
    t.Options({"-f" + t.HexFile(test::Pattern(kFlash)), "-c3", "-b7", "-a"});
    c.prepare(t);
    t.loader.FormActivate();
    const LoadResult result = t.loader.Result();
    EXPECT_EQ(result[c.step].state, StepState::Failed);
    EXPECT_EQ(result[c.step].error, c.error) << ErrorClassName(result[c.step].error);
    EXPECT_NE(result.FirstError().message.find(c.reason), std::string::npos)
        << result.FirstError().message;
    EXPECT_EQ(result.FirstError().error, c.error);
    EXPECT_STREQ(result[Step::Run].Word(), "skipped");
    EXPECT_EQ(ExitCode(result, ExitRule::Terminal), 1);
    EXPECT_EQ(ExitCode(result, ExitRule::Window), 1);
  }
}

// Regression: with -p alone, a verify pass that failed after programming left the program step
// counted as done, and both exit codes said 0 for a flash that does not hold the image.
TEST_F(Outcome, ProgramAloneCountsItsVerifyPass) {
  fake.onRequest = [this](const Bytes& request) {
    // The verify pass begins after the page's eight read-backs.
    if (request[0] == kCmdReadMemory && fake.RequestsOf(kCmdReadMemory).size() == 8)
      fake.wrongReadBacks[kFirstBlock] = 1000;
  };
  Options({"-f" + HexFile(test::Pattern(kFlash)), "-c3", "-b7", "-p"});
  loader.FormActivate();
  const LoadResult result = loader.Result();
  EXPECT_TRUE(result[Step::Program].Succeeded());
  EXPECT_EQ(result[Step::Verify].error, ErrorClass::VerifyMismatch);
  EXPECT_EQ(ExitCode(result, ExitRule::Window), 1);
  EXPECT_EQ(ExitCode(result, ExitRule::Terminal), 1);
  EXPECT_EQ(loader.FormClose(), 1);
}

// The window's rule leaves out the file and the connect unless the run is the full one (-a);
// the terminal's counts every requested step.
TEST(ExitRules, WindowAndTerminal) {
  const auto result = [](bool all, Step failed) {
    LoadResult r;
    r.all = all;
    for (Step step : {Step::File, Step::Connect, Step::Erase})
      r[step] = {true, step == failed ? StepState::Failed : StepState::Succeeded, {}, {}};
    return r;
  };
  EXPECT_EQ(ExitCode(result(false, Step::Connect), ExitRule::Window), 0);
  EXPECT_EQ(ExitCode(result(true, Step::Connect), ExitRule::Window), 1);
  EXPECT_EQ(ExitCode(result(false, Step::Connect), ExitRule::Terminal), 1);
  EXPECT_EQ(ExitCode(result(false, Step::Erase), ExitRule::Window), 1);
  EXPECT_EQ(ExitCode(result(false, Step::Run), ExitRule::Terminal), 0);
  EXPECT_EQ(ExitCode(LoadResult{}, ExitRule::Window), 0);  // nothing asked for
}

// Regression: a gang load's lines were read from disk again before Program, so a file rebuilt
// during the run gave different boards different firmware.
TEST_F(Outcome, LinesHandedInAreWhatProgramSends) {
  const Bytes first = test::Pattern(kFlash, 1);
  const std::string file = HexFile(first);
  std::vector<std::string> lines;
  ASSERT_TRUE(image::ReadHexFile(file, lines));
  loader.UseHexLines(file, lines);
  HexFile(test::Pattern(kFlash, 2));  // rebuilt meanwhile
  std::filesystem::last_write_time(
      file, std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  loader.ConnectSpeedButtonClick();
  loader.ProgramSpeedButtonClick();
  EXPECT_EQ(fake.flash, first);
  for (const std::string& info : view.infos)
    EXPECT_EQ(info.find("File changed"), std::string::npos);
}

// Regression: a reset's waits slept to their end; Ctrl-C during dtr=1,wait=10000,dtr=0,wait=10000
// ended the run only after 20 s.
TEST_F(Outcome, AStopEndsAResetWithinASlice) {
  loader.SetResetSequence(ResetOf("dtr=1,wait=10000,dtr=0,wait=10000"));
  loader.SetStopCheck([this] { return MillisecondsPassed() >= 2000 ? "Stopped by Ctrl-C." : ""; });
  loader.ConnectSpeedButtonClick();
  EXPECT_LE(MillisecondsPassed(), 2100u);
  EXPECT_EQ(loader.Result()[Step::Connect].error, ErrorClass::Stopped);
  EXPECT_EQ(fake.syncs + fake.probes, 0);
  EXPECT_EQ(view.messages.back().text,
            "ERROR:  COMM Sync\nNo answer from the bootloader on COM1 (Stopped by Ctrl-C.)");
}

// The wait for the board has a deadline, which a reset run again after each unanswered round of
// probes must not outlast.
TEST_F(Outcome, TheWaitsDeadlineEndsAReset) {
  fake.syncAnswers = false;
  loader.SetWaitSeconds(3);
  loader.SetResetSequence(ResetOf("dtr=1,wait=10000,dtr=0"));
  loader.ConnectSpeedButtonClick();
  EXPECT_LE(MillisecondsPassed(), 3100u);
  EXPECT_EQ(loader.Result()[Step::Connect].error, ErrorClass::NoSync);
  EXPECT_EQ(loader.Result()[Step::Connect].message,
            "ERROR:  COMM Sync\nNo answer from the bootloader on COM1 within 3 s.");
}

}  // namespace
}  // namespace vestrel::app
