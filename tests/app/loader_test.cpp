#include "app/loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>

#include "protocol/frame.h"
#include "tests/support/fake_bootloader.h"
#include "tests/support/hex_text.h"
#include "tests/support/recording_view.h"
#include "tests/support/step_outcome.h"

namespace vestrel::app {
namespace {

using protocol::kCmdEraseFlash;
using protocol::kCmdFinishProgram;
using protocol::kCmdProgramBlock;
using protocol::kCmdReadMemory;
using protocol::kCmdReadVersion;
using test::Bytes;
using test::FakeBootloader;
using Fault = FakeBootloader::Fault;
using Strings = std::vector<std::string>;

constexpr std::uint32_t kPage = 4096;
constexpr std::uint32_t kBase = 0x9D000000;

class LoaderTest : public ::testing::Test {
 protected:
  explicit LoaderTest(std::uint32_t flashSize = kPage) : fake(flashSize) {
    const unsigned ports[] = {0, 2};  // COM1 and COM3
    loader.FillPortList(ports);
  }

  // Writes a HEX file that fills the image with `data` from the start of program flash.
  std::string HexFile(const Bytes& data) {
    return dir.Write("app.hex", test::HexText().Data(0x1D000000, data).End().Text());
  }

  void LoadAndConnect(const Bytes& data) {
    loader.LoadHexFile(HexFile(data));
    ASSERT_TRUE(test::Ok(loader, app::Step::File));
    loader.ConnectSpeedButtonClick();
    ASSERT_TRUE(test::Ok(loader, app::Step::Connect));
  }

  void Options(std::initializer_list<std::string> args) {
    const std::vector<std::string> list(args);
    loader.ReadCommandLine(list);
  }

  // Information texts from the first occurrence of `first` on.
  Strings InfosFrom(const std::string& first) const {
    auto it = std::find(view.infos.begin(), view.infos.end(), first);
    return Strings(it, view.infos.end());
  }

  Strings Boxes() const { return view.MessageHeads(); }

  test::TempDir dir;
  FakeBootloader fake;
  test::RecordingView view;
  Loader loader{view, fake, [](unsigned n) { return "/dev/test/com" + std::to_string(n); }};
};

class TwoPageLoaderTest : public LoaderTest {
 protected:
  TwoPageLoaderTest() : LoaderTest(2 * kPage) {}
};

// --- program ---

TEST_F(LoaderTest, GoodProgramWritesTheImageAndShowsEveryStepInOrder) {
  const Bytes data = test::Pattern(kPage);
  LoadAndConnect(data);
  loader.ProgramSpeedButtonClick();

  EXPECT_EQ(InfosFrom("Programming..."),
            (Strings{"Programming...", "Programm: Verifying", "Verifying...", "Verify: Success",
                     "Programm: Verify OK", "Programm: Success"}));
  EXPECT_EQ(fake.flash, data);
  EXPECT_EQ(fake.finishLength, kPage);
  EXPECT_TRUE(test::Ok(loader, app::Step::Program));
  EXPECT_TRUE(test::Ok(loader, app::Step::Verify));
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(view.progress, 0);
  EXPECT_TRUE(view.AllButtons(true));  // no options: every button by rule
}

TEST_F(LoaderTest, EightBlocksShowEighthsTruncated) {
  LoadAndConnect(test::Pattern(kPage));
  loader.ProgramSpeedButtonClick();
  const Strings eighths = {"12%", "25%", "37%", "50%", "62%", "75%", "87%", "100%"};
  Strings both = eighths;
  both.insert(both.end(), eighths.begin(), eighths.end());  // program, then its verify pass
  EXPECT_EQ(view.percents, both);
}

// The events of a program step in their order: the steps as they start and end, a progress
// event per block with its address, and the version before them.
TEST_F(LoaderTest, ListenersHearEveryStepAndBlockInOrder) {
  struct Recorder : LoadListener {
    std::vector<std::string> events;
    void OnStepStarted(Step step) override { events.push_back(std::string("+") + StepName(step)); }
    void OnStepEnded(Step step, const StepOutcome& outcome) override {
      events.push_back(std::string("-") + StepName(step) + " " + outcome.Word());
    }
    void OnProgress(const Progress& p) override {
      EXPECT_EQ(p.total, kPage);
      char text[64];
      std::snprintf(text, sizeof text, "%s %d%% 0x%08X %u", PhaseName(p.phase), p.percent,
                    static_cast<unsigned>(p.address), static_cast<unsigned>(p.done));
      events.push_back(text);
    }
    void OnVersion(const std::string& version, std::uint32_t size) override {
      events.push_back(version + " " + std::to_string(size));
    }
  } recorder;
  loader.AddListener(&recorder);
  Options({"-f" + HexFile(test::Pattern(kPage)), "-c3", "-b7", "-p"});
  loader.FormActivate();
  const Strings& e = recorder.events;
  ASSERT_EQ(e.size(), 2u + 3u + 1u + 8u + 1u + 8u + 2u);
  EXPECT_EQ(Strings(e.begin(), e.begin() + 6),
            (Strings{"+file", "-file ok", "+connect", "v01.03 4096", "-connect ok", "+program"}));
  EXPECT_EQ(e[6], "program 12% 0x9D000000 512");
  EXPECT_EQ(e[13], "program 100% 0x9D000E00 4096");
  EXPECT_EQ(e[14], "+verify");
  EXPECT_EQ(e[15], "verify 12% 0x9D000000 512");
  EXPECT_EQ(Strings(e.end() - 2, e.end()), (Strings{"-verify ok", "-program ok"}));
}

TEST_F(TwoPageLoaderTest, PageFailingReadBack20TimesIsWritten21Times) {
  const Bytes data = test::Pattern(2 * kPage);
  LoadAndConnect(data);
  fake.wrongReadBacks[kBase + 1024] = 20;
  loader.ProgramSpeedButtonClick();

  EXPECT_EQ(fake.programWrites[kBase], 21);
  EXPECT_EQ(fake.programWrites[kBase + 7 * 512], 21);
  EXPECT_EQ(fake.programWrites[kBase + kPage], 1);  // the counter went back to 0
  // Each rewrite moves the bar back by the page: from 43% to 0%.
  EXPECT_EQ(std::count(view.percents.begin(), view.percents.end(), "0%"), 20);
  EXPECT_EQ(view.infos.back(), "Programm: Success");
  EXPECT_EQ(fake.flash, data);
  EXPECT_TRUE(test::Ok(loader, app::Step::Program));
}

TEST_F(TwoPageLoaderTest, PageFailingReadBack21TimesStopsWithTheFollowingAddress) {
  LoadAndConnect(test::Pattern(2 * kPage));
  fake.wrongReadBacks[kBase] = 21;
  loader.ProgramSpeedButtonClick();

  EXPECT_EQ(Boxes(), Strings{"Send Program Error Addr: 0x9D001000"});
  EXPECT_EQ(view.Info(), "Programm: Failed");
  EXPECT_EQ(fake.programWrites[kBase], 21);
  EXPECT_EQ(fake.programWrites[kBase + kPage], 0);
  EXPECT_FALSE(fake.finishLength.has_value());
  EXPECT_FALSE(test::Ok(loader, app::Step::Program));
  EXPECT_TRUE(view.AllButtons(false));  // only closing the window remains
}

TEST_F(LoaderTest, BlockThatCannotBeWrittenStopsProgram) {
  LoadAndConnect(test::Pattern(kPage));
  fake.receiveFaults[kCmdProgramBlock] = std::deque<Fault>(199, Fault{protocol::kTimedOut, false});
  loader.ProgramSpeedButtonClick();
  EXPECT_EQ(Boxes(), Strings{"Receive Program Error Addr: 0x9D000000, Result: -2"});
  EXPECT_EQ(view.Info(), "Programm: Failed");
  EXPECT_EQ(view.panels[1], std::to_string(protocol::kFailedRepliesBeforeLost));
  EXPECT_TRUE(view.AllButtons(false));
  EXPECT_FALSE(test::Ok(loader, app::Step::Program));
}

TEST_F(LoaderTest, NoiseThatCutsRepliesDoesNotBreakTheLoad) {
  const Bytes data = test::Pattern(kPage);
  LoadAndConnect(data);
  // The rest of each cut reply is still on its way when the next attempt starts.
  fake.receiveFaults[kCmdProgramBlock] =
      std::deque<Fault>(5, Fault{protocol::kChecksumError, true});
  fake.receiveFaults[kCmdReadMemory] = std::deque<Fault>(5, Fault{protocol::kChecksumError, true});
  loader.ProgramSpeedButtonClick();
  EXPECT_EQ(view.Info(), "Programm: Success");
  EXPECT_EQ(fake.flash, data);
  EXPECT_EQ(fake.staleAnswers, 0);
}

// Regression: a finish that the bootloader refused or never answered left ProgramOk at 1, so
// the automatic run started the application and the exit code said success.
TEST_F(LoaderTest, RefusedOrUnansweredFinishFailsTheProgramStep) {
  struct Case {
    std::uint16_t status;
    int lostReplies;
    const char* box;
  };
  for (const Case& c : {Case{0x0045, 0, "Flash Not Erase"}, Case{0x0047, 0, "Flash Not Programmed"},
                        Case{0, protocol::kFailedRepliesBeforeLost, "Verify OK Error"}}) {
    SCOPED_TRACE(c.box);
    view.messages.clear();
    fake.finishStatus = c.status;
    fake.receiveFaults[kCmdFinishProgram] = std::deque<Fault>(
        static_cast<std::size_t>(c.lostReplies), Fault{protocol::kTimedOut, false});
    LoadAndConnect(test::Pattern(kPage));
    loader.ProgramSpeedButtonClick();
    EXPECT_EQ(Boxes(), Strings{c.box});
    EXPECT_EQ(view.Info(), "Programm: Verify OK ERROR");
    EXPECT_FALSE(test::Ok(loader, app::Step::Program));
    EXPECT_TRUE(test::Ok(loader, app::Step::Verify));
    EXPECT_TRUE(view.AllButtons(true));
    if (c.lostReplies == 0) {
      loader.RunSpeedButtonClick();  // the user's own choice
      EXPECT_TRUE(test::Ok(loader, app::Step::Run));
    }
  }
}

// Regression: a file with no data for the program flash, or no file at all, programmed an
// all-0xFF image and reported success.
TEST_F(LoaderTest, NothingIsProgrammedWithoutProgramFlashData) {
  loader.ConnectSpeedButtonClick();
  ASSERT_TRUE(test::Ok(loader, app::Step::Connect));
  const auto sent = fake.requests.size();
  loader.ProgramSpeedButtonClick();
  loader.LoadHexFile(
      dir.Write("boot.hex", test::HexText().Data(0x1FC00000, {1, 2, 3, 4}).End().Text()));
  loader.ProgramSpeedButtonClick();
  loader.VerifySpeedButtonClick();
  ASSERT_EQ(Boxes(), (Strings{"Create Program Memory", "HEX File Error", "Create Program Memory",
                              "Create Verify Memory"}));
  EXPECT_NE(view.messages[0].text.find("no HEX file is loaded"), std::string::npos);
  EXPECT_NE(view.messages[1].text.find("no data for the program flash"), std::string::npos);
  EXPECT_EQ(fake.requests.size(), sent);
  EXPECT_FALSE(test::Ok(loader, app::Step::File));
  EXPECT_FALSE(test::Ok(loader, app::Step::Program));
  EXPECT_FALSE(test::Ok(loader, app::Step::Verify));
}

TEST_F(LoaderTest, ProgramWithoutImageBufferSendsNothing) {
  loader.LoadHexFile(HexFile(test::Pattern(kPage)));
  loader.ProgramSpeedButtonClick();
  loader.VerifySpeedButtonClick();
  ASSERT_EQ(Boxes(), (Strings{"Create Program Memory", "Create Verify Memory"}));
  EXPECT_NE(view.messages[0].text.find('\n'), std::string::npos);  // says why
  EXPECT_TRUE(fake.requests.empty());
  EXPECT_FALSE(test::Ok(loader, app::Step::Program));
  EXPECT_FALSE(test::Ok(loader, app::Step::Verify));
  EXPECT_EQ(view.Info(), "Verifying...");
}

TEST_F(LoaderTest, ImageThatDoesNotFitStopsProgramBeforeAnyButtonChanges) {
  LoadAndConnect(test::Pattern(kPage + 16));  // one record beyond the flash
  const auto before = view.buttons;
  loader.ProgramSpeedButtonClick();
  EXPECT_EQ(Boxes(), Strings{"Create Program Memory"});
  EXPECT_EQ(view.Info(), "Programming...");
  EXPECT_EQ(view.buttons, before);
  EXPECT_TRUE(fake.programWrites.empty());
}

// --- verify ---

TEST_F(LoaderTest, VerifyBlockFailing20TimesStillPasses) {
  const Bytes data = test::Pattern(kPage);
  LoadAndConnect(data);
  fake.flash = data;
  fake.wrongReadBacks[kBase + 512] = 20;
  fake.wrongReadBacks[kBase + 1024] = 3;
  loader.VerifySpeedButtonClick();

  EXPECT_TRUE(test::Ok(loader, app::Step::Verify));
  EXPECT_EQ(view.panels[2], "23");  // goes on counting over the whole pass
  EXPECT_EQ(loader.Result().retries, 23);
  EXPECT_EQ(InfosFrom("Verifying...").back(), "Verify: Success");
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(LoaderTest, VerifyBlockFailing21TimesStopsWithItsAddress) {
  const Bytes data = test::Pattern(kPage);
  LoadAndConnect(data);
  fake.flash = data;
  fake.wrongReadBacks[kBase + 512] = 21;
  loader.VerifySpeedButtonClick();

  EXPECT_EQ(Boxes(), Strings{"Receive Verify Error Addr: 0x9D000200"});
  EXPECT_EQ(view.Info(), "Verify: Failed");
  EXPECT_FALSE(test::Ok(loader, app::Step::Verify));
  EXPECT_TRUE(view.AllButtons(true));
}

TEST_F(LoaderTest, VerifyStartsItsCountAgain) {
  const Bytes data = test::Pattern(kPage);
  LoadAndConnect(data);
  fake.flash = data;
  fake.wrongReadBacks[kBase] = 3;
  loader.VerifySpeedButtonClick();
  EXPECT_EQ(view.panels[2], "3");
  fake.wrongReadBacks[kBase] = 1;
  loader.VerifySpeedButtonClick();
  EXPECT_EQ(view.panels[2], "1");
  EXPECT_EQ(loader.Result().retries, 4);  // the run's own tally goes on
}

TEST_F(LoaderTest, FailedVerifyAfterProgramStopsBeforeTheReport) {
  LoadAndConnect(test::Pattern(kPage));
  // The page reads back well while programming; the pass that follows fails.
  fake.onRequest = [this](const Bytes&) {
    if (view.Info() == "Verifying...") fake.wrongReadBacks[kBase + 512] = 21;
  };
  loader.ProgramSpeedButtonClick();
  EXPECT_EQ(view.Info(), "Programm: Verify Error");
  EXPECT_TRUE(test::Ok(loader, app::Step::Program));
  EXPECT_FALSE(test::Ok(loader, app::Step::Verify));
  EXPECT_EQ(view.progress, 0);
  EXPECT_FALSE(fake.finishLength.has_value());
}

// --- run ---

TEST_F(LoaderTest, RunBeforeVerifySendsNothing) {
  LoadAndConnect(test::Pattern(kPage));
  const auto sent = fake.requests.size();
  loader.RunSpeedButtonClick();
  EXPECT_EQ(Boxes(), Strings{"Run Program Error"});
  EXPECT_EQ(view.Info(), "Run Program: Error");
  EXPECT_EQ(fake.requests.size(), sent);
  EXPECT_FALSE(test::Ok(loader, app::Step::Run));
}

TEST_F(LoaderTest, RunAfterVerifyStartsTheApplication) {
  const Bytes data = test::Pattern(kPage);
  LoadAndConnect(data);
  fake.flash = data;
  loader.VerifySpeedButtonClick();
  loader.RunSpeedButtonClick();
  EXPECT_EQ(view.Info(), "Running Program");
  EXPECT_EQ(fake.started, 1);
  EXPECT_TRUE(test::Ok(loader, app::Step::Run));
}

// --- erase ---

TEST_F(LoaderTest, EraseReportsItsOutcomeAndRestoresTheButtons) {
  LoadAndConnect(test::Pattern(kPage));
  loader.EraseSpeedButtonClick();
  EXPECT_EQ(InfosFrom("Erasing...").back(), "Erasing: Great Success");
  EXPECT_TRUE(test::Ok(loader, app::Step::Erase));
  EXPECT_TRUE(view.AllButtons(true));

  fake.receiveFaults[kCmdEraseFlash] = std::deque<Fault>(95, Fault{protocol::kTimedOut, false});
  loader.EraseSpeedButtonClick();
  EXPECT_EQ(view.Info(), "Erasing: Error");
  EXPECT_FALSE(test::Ok(loader, app::Step::Erase));
  EXPECT_TRUE(view.AllButtons(true));
}

// --- connect ---

TEST_F(LoaderTest, ConnectOpensTheSelectedPortAndEnablesTheSteps) {
  view.portIndex = 1;
  loader.ConnectSpeedButtonClick();
  ASSERT_TRUE(test::Ok(loader, app::Step::Connect));
  ASSERT_TRUE(fake.lastPort.has_value());
  EXPECT_EQ(fake.lastPort->displayName, "COM3");
  EXPECT_EQ(fake.lastPort->devicePath, "/dev/test/com3");
  EXPECT_EQ(fake.lastBaud, 38400u);
  EXPECT_EQ(view.infos, (Strings{"Baud Sync...", "Connected..."}));
  EXPECT_EQ(view.versionText, "BL Version: v01.03");
  EXPECT_FALSE(view.lists[ListBox::Port]);
  EXPECT_FALSE(view.lists[ListBox::Baud]);
  EXPECT_TRUE(view.AllButtons(true));
}

TEST_F(LoaderTest, ConnectAgainReusesThePortAndReadsTheVersionAgain) {
  loader.ConnectSpeedButtonClick();
  loader.ConnectSpeedButtonClick();
  EXPECT_EQ(fake.opens, 1);
  EXPECT_EQ(fake.syncs, 2);
  EXPECT_EQ(fake.RequestsOf(kCmdReadVersion).size(), 2u);
  EXPECT_TRUE(test::Ok(loader, app::Step::Connect));
}

TEST_F(LoaderTest, ConnectFailures) {
  fake.openSucceeds = false;
  view.portIndex = 1;
  loader.ConnectSpeedButtonClick();
  EXPECT_EQ(view.Info(), "ERROR: Open COM3 is failed");

  fake.openSucceeds = true;
  fake.syncAnswers = false;
  loader.ConnectSpeedButtonClick();
  EXPECT_EQ(view.Info(), "ERROR:  COMM Sync");
  EXPECT_FALSE(fake.IsOpen());
  EXPECT_TRUE(view.messages.empty());

  fake.syncAnswers = true;
  fake.receiveFaults[kCmdReadVersion] =
      std::deque<Fault>(protocol::kFailedRepliesBeforeLost, Fault{protocol::kTimedOut, false});
  loader.ConnectSpeedButtonClick();
  EXPECT_EQ(view.Info(), "Connected...");
  EXPECT_EQ(Boxes(), Strings{"Read Version Receive Error"});
  EXPECT_TRUE(fake.IsOpen());
  EXPECT_TRUE(view.lists[ListBox::Port]);
  EXPECT_FALSE(view.buttons[Button::Erase]);
  EXPECT_FALSE(test::Ok(loader, app::Step::Connect));
}

TEST_F(LoaderTest, ConnectWithoutPortOrBaudNamesWhatIsMissing) {
  view.portIndex = -1;
  loader.ConnectSpeedButtonClick();
  EXPECT_FALSE(fake.lastPort.has_value());
  EXPECT_EQ(view.Info(), "ERROR: Open failed: no port selected");

  view.portIndex = 0;
  view.baudIndex = -1;
  loader.ConnectSpeedButtonClick();
  EXPECT_FALSE(fake.lastBaud.has_value());
  EXPECT_EQ(view.Info(), "ERROR: Open COM1 failed: no baud rate selected");
  EXPECT_FALSE(test::Ok(loader, app::Step::Connect));
}

TEST_F(LoaderTest, BaudAndPortOverridesReplaceTheLists) {
  loader.OverrideBaudRate(921600);
  loader.OverridePort(protocol::PortTarget{"/dev/ttyUSB0", "/dev/ttyUSB0"});
  view.portIndex = -1;
  loader.ConnectSpeedButtonClick();
  EXPECT_EQ(fake.lastBaud, 921600u);
  EXPECT_EQ(fake.lastPort->devicePath, "/dev/ttyUSB0");
  EXPECT_TRUE(test::Ok(loader, app::Step::Connect));
}

TEST_F(LoaderTest, DestructorClosesAnOpenPort) {
  {
    Loader other(view, fake, [](unsigned) { return std::string("/dev/test/com1"); });
    const unsigned ports[] = {0};
    other.FillPortList(ports);
    other.ConnectSpeedButtonClick();
    ASSERT_TRUE(fake.IsOpen());
  }
  EXPECT_FALSE(fake.IsOpen());
  EXPECT_EQ(fake.closes, 1);
}

// --- file ---

TEST_F(LoaderTest, FileLoadSetsTextAndFlag) {
  const std::string path = HexFile(test::Pattern(64));
  loader.OpenFileSpeedButtonClick(path);
  EXPECT_TRUE(test::Ok(loader, app::Step::File));
  EXPECT_EQ(view.fileText, path);
  EXPECT_EQ(loader.Result().file, path);

  loader.OpenFileSpeedButtonClick(std::nullopt);  // cancelled
  EXPECT_EQ(loader.Result().file, path);
  EXPECT_TRUE(test::Ok(loader, app::Step::File));

  const std::string missing = dir.File("missing.hex");
  loader.LoadHexFile(missing);
  EXPECT_EQ(Boxes(), Strings{"HEX File Error"});
  EXPECT_EQ(loader.Result().file, missing);
  EXPECT_FALSE(test::Ok(loader, app::Step::File));
  EXPECT_EQ(view.fileText, path);
}

// --- button rules ---

TEST_F(LoaderTest, RequestedStepsKeepTheirButtonsDisabled) {
  Options({"-f" + HexFile(test::Pattern(kPage)), "-e", "-v"});
  loader.FormActivate();
  EXPECT_FALSE(view.buttons[Button::Open]);  // a file from the command line
  loader.ConnectSpeedButtonClick();
  EXPECT_FALSE(view.buttons[Button::Erase]);
  EXPECT_TRUE(view.buttons[Button::Program]);
  EXPECT_FALSE(view.buttons[Button::Verify]);
  EXPECT_TRUE(view.buttons[Button::Run]);
  EXPECT_TRUE(view.buttons[Button::Connect]);  // untouched by Connect
}

TEST_F(LoaderTest, OperationsDisableAllButtonsWhileTheyRun) {
  LoadAndConnect(test::Pattern(kPage));
  int checked = 0;
  fake.onRequest = [&](const Bytes& request) {
    // The closing report comes after the verify pass has enabled the buttons again.
    if (request[0] == kCmdFinishProgram) return;
    EXPECT_TRUE(view.AllButtons(false));
    ++checked;
  };
  loader.EraseSpeedButtonClick();
  loader.ProgramSpeedButtonClick();
  EXPECT_GT(checked, 16);
  EXPECT_TRUE(view.AllButtons(true));
}

// --- command line ---

LoadRequest Parse(std::vector<std::string> args) {
  return ParseWindowCommandLine(args).request;
}

TEST(WindowCommandLine, OnlyTheSecondCharacterSelectsTheOption) {
  EXPECT_FALSE(Parse({"-E", "--e", "e", "", "-x"}).erase);
  for (const char* arg : {"/e", "xe", "-e"}) EXPECT_TRUE(Parse({arg}).erase) << arg;
}

TEST(WindowCommandLine, OptionValuesAndRepeats) {
  const LoadRequest r = Parse({"-c12", "-b5", "-fa.hex", "-fC:\\my files\\b.hex", "-p"});
  EXPECT_EQ(r.comNumber, 1);  // one digit only
  EXPECT_EQ(r.baudIndex, 5);
  EXPECT_EQ(r.file, "C:\\my files\\b.hex");
  EXPECT_TRUE(r.program);
  EXPECT_FALSE(r.all || r.erase || r.verify || r.run || r.terminate);
  EXPECT_EQ(Parse({"-cH", "-b9"}).comNumber, -1);  // no digit: no port entry can match
}

TEST(WindowCommandLine, OptionASetsEveryStepButNotFilePortOrBaud) {
  const LoadRequest r = Parse({"-a"});
  EXPECT_TRUE(r.all && r.erase && r.program && r.verify && r.run && r.terminate);
  EXPECT_FALSE(r.file || r.NamesPort() || r.NamesRate());
}

TEST_F(LoaderTest, PortAndBaudOptionsTogetherConnectAtOnce) {
  Options({"-c3", "-b7"});
  EXPECT_FALSE(loader.FormActivate());
  EXPECT_EQ(view.portIndex, 1);
  EXPECT_EQ(fake.lastBaud, 115200u);
  EXPECT_TRUE(test::Ok(loader, app::Step::Connect));
  EXPECT_TRUE(view.buttons[Button::Erase]);
  loader.EnableButtons();
  EXPECT_FALSE(view.buttons[Button::Connect]);  // both on the command line
}

TEST_F(LoaderTest, PortOptionAlonePreselectsOnly) {
  Options({"-c3"});
  loader.FormActivate();
  EXPECT_EQ(view.portIndex, 1);
  EXPECT_EQ(view.baudIndex, 5);
  EXPECT_EQ(fake.opens, 0);
  loader.EnableButtons();
  EXPECT_TRUE(view.buttons[Button::Connect]);
}

// Regression: a port left out of the list (held by another program at start-up) was reported
// as "No port is selected."; it is opened by its number, so the box says what holds it.
TEST_F(LoaderTest, PortNotInTheListIsOpenedByItsNumber) {
  fake.openSucceeds = false;
  fake.openFailure = {ErrorClass::PortBusy,
                      "Unable to Open COMM Port\nCOM2 is held by another program."};
  Options({"-c2", "-b5"});
  loader.FormActivate();
  EXPECT_EQ(view.portIndex, -1);
  ASSERT_TRUE(fake.lastPort.has_value());
  EXPECT_EQ(fake.lastPort->displayName, "COM2");
  EXPECT_EQ(fake.lastPort->devicePath, "/dev/test/com2");
  EXPECT_EQ(loader.Result()[Step::Connect].error, ErrorClass::PortBusy);
  EXPECT_EQ(view.Info(), "ERROR: Open COM2 is failed");
}

TEST_F(LoaderTest, PortAndBaudWithoutDigitAreRejected) {
  // Regression: 'H' - '0' made port 24, which exists here.
  view.portEntries.clear();
  const unsigned ports[] = {23};
  loader.FillPortList(ports);
  Options({"-cH", "-b9"});
  loader.FormActivate();
  EXPECT_EQ(view.portIndex, -1);
  EXPECT_EQ(view.baudIndex, -1);
  EXPECT_EQ(fake.opens, 1);
  EXPECT_FALSE(fake.lastPort.has_value());
  EXPECT_FALSE(fake.lastBaud.has_value());
  EXPECT_FALSE(test::Ok(loader, app::Step::Connect));
}

TEST_F(LoaderTest, FileOptionWithoutNameFailsTheLoad) {
  Options({"-f"});
  loader.FormActivate();
  EXPECT_EQ(Boxes(), Strings{"HEX File Error"});
  EXPECT_FALSE(test::Ok(loader, app::Step::File));
}

TEST_F(LoaderTest, EmptyPortListSelectsNothing) {
  Loader other(view, fake, [](unsigned) { return std::string(); });
  view.portEntries.clear();
  other.FillPortList({});
  EXPECT_EQ(view.portIndex, -1);
  EXPECT_TRUE(view.portEntries.empty());
}

// --- automatic run and exit code ---

TEST_F(LoaderTest, FullAutomaticRunLoadsAndExitsZero) {
  const Bytes data = test::Pattern(kPage);
  Options({"-f" + HexFile(data), "-c3", "-b7", "-a"});
  EXPECT_TRUE(loader.FormActivate());
  EXPECT_EQ(loader.FormClose(), 0);
  EXPECT_EQ(fake.flash, data);
  EXPECT_EQ(fake.started, 1);
  EXPECT_EQ(fake.RequestsOf(kCmdReadMemory).size(), 16u);  // read-back and one verify pass
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(LoaderTest, NamedFileThatDoesNotLoadKeepsTheRunAwayFromTheTarget) {
  // Guards the target's firmware: no erase, no blank image programmed, no start.
  Options({"-f" + dir.File("missing.hex"), "-c3", "-b7", "-a"});
  EXPECT_TRUE(loader.FormActivate());
  EXPECT_EQ(fake.opens, 0);
  EXPECT_TRUE(fake.requests.empty());
  EXPECT_EQ(Boxes(), Strings{"HEX File Error"});
  EXPECT_EQ(view.Info(), kFileNotLoadedText);
  EXPECT_EQ(view.portIndex, 1);  // the lists are still preselected
  EXPECT_EQ(view.baudIndex, 7);
  EXPECT_EQ(loader.FormClose(), 1);
}

TEST_F(LoaderTest, OptionAAloneStopsAtTheFirstFailedStepAndExitsOne) {
  Options({"-a"});
  EXPECT_TRUE(loader.FormActivate());
  EXPECT_EQ(loader.FormClose(), 1);
  EXPECT_TRUE(fake.requests.empty());
  EXPECT_EQ(Boxes(), Strings{"Erase Flash Send Error"});
}

TEST_F(LoaderTest, ProgramAndVerifyVerifyOnceAndNeedBoth) {
  const Bytes data = test::Pattern(kPage);
  Options({"-f" + HexFile(data), "-c3", "-b7", "-p", "-v"});
  EXPECT_FALSE(loader.FormActivate());
  EXPECT_EQ(fake.RequestsOf(kCmdReadMemory).size(), 16u);
  EXPECT_EQ(loader.FormClose(), 0);
}

TEST_F(LoaderTest, RefusedFinishFailsTheRunAndTheApplicationIsNotStarted) {
  fake.finishStatus = 0x0045;
  Options({"-f" + HexFile(test::Pattern(kPage)), "-c3", "-b7", "-a"});
  EXPECT_TRUE(loader.FormActivate());
  EXPECT_EQ(Boxes(), Strings{"Flash Not Erase"});
  EXPECT_EQ(view.Info(), "Programm: Verify OK ERROR");
  EXPECT_EQ(fake.started, 0);
  EXPECT_EQ(loader.Result()[Step::Program].error, ErrorClass::FinishRefused);
  EXPECT_STREQ(loader.Result()[Step::Run].Word(), "skipped");
  EXPECT_EQ(loader.FormClose(), 1);
}

// Regression: a sync that worked followed by a failed version read went on to erase the
// target, which then could not be programmed: the old firmware was gone.
TEST_F(LoaderTest, FailedConnectEndsTheAutomaticRunBeforeTheErase) {
  fake.receiveFaults[kCmdReadVersion] =
      std::deque<Fault>(protocol::kFailedRepliesBeforeLost, Fault{protocol::kTimedOut, false});
  Options({"-f" + HexFile(test::Pattern(kPage)), "-c3", "-b7", "-a"});
  EXPECT_TRUE(loader.FormActivate());
  EXPECT_EQ(Boxes(), Strings{"Read Version Receive Error"});
  for (const Bytes& request : fake.requests) EXPECT_EQ(request[0], kCmdReadVersion);
  EXPECT_EQ(loader.FormClose(), 1);
  EXPECT_EQ(ExitCode(loader.Result(), ExitRule::Terminal), 1);
}

TEST_F(LoaderTest, ConnectDiscardsWhatFollowsTheSyncAnswer) {
  loader.ConnectSpeedButtonClick();
  EXPECT_EQ(fake.discards, 1);
}

TEST_F(LoaderTest, LostLinkEndsTheStepAtOnceAndConnectOpensThePortAgain) {
  const Bytes data = test::Pattern(kPage);
  LoadAndConnect(data);
  fake.flash = data;
  fake.onRequest = [this](const Bytes&) { fake.lostReason = "The serial device went away."; };
  loader.VerifySpeedButtonClick();
  EXPECT_EQ(view.panels[2], "1");  // no twenty "Verify: Failed" after the device has gone
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text,
            "Receive Verify Error Addr: 0x9D000000\nThe serial device went away.");

  fake.onRequest = nullptr;
  loader.ConnectSpeedButtonClick();
  EXPECT_EQ(fake.opens, 2);
  EXPECT_TRUE(test::Ok(loader, app::Step::Connect));
}

TEST_F(LoaderTest, RequestedStepThatFailedSetsExitOne) {
  Options({"-p", "-v"});
  loader.FormActivate();
  EXPECT_EQ(loader.FormClose(), 1);
}

// The window ignores the file load and the connect in its exit code; the terminal does not.
TEST_F(LoaderTest, TerminalRuleCountsTheFileAndTheConnect) {
  Options({"-f" + dir.File("missing.hex")});
  loader.FormActivate();
  EXPECT_EQ(loader.FormClose(), 0);
  EXPECT_EQ(ExitCode(loader.Result(), ExitRule::Terminal), 1);

  Loader other(view, fake, [](unsigned) { return std::string("/dev/test/com1"); });
  const std::vector<std::string> args{"-c1", "-b7"};
  other.ReadCommandLine(args);
  const unsigned ports[] = {0};
  other.FillPortList(ports);
  fake.syncAnswers = false;
  other.FormActivate();
  EXPECT_EQ(other.FormClose(), 0);
  EXPECT_EQ(ExitCode(other.Result(), ExitRule::Terminal), 1);
}

TEST_F(LoaderTest, TerminateAloneClosesWithZero) {
  Options({"-t"});
  EXPECT_TRUE(loader.FormActivate());
  EXPECT_EQ(loader.FormClose(), 0);
  EXPECT_TRUE(fake.requests.empty());
}

TEST_F(LoaderTest, NoOptionsExitZeroWhateverHappened) {
  EXPECT_FALSE(loader.FormActivate());
  loader.EraseSpeedButtonClick();  // fails: not connected
  loader.RunSpeedButtonClick();
  EXPECT_EQ(loader.FormClose(), 0);
}

TEST_F(LoaderTest, RuleTwoKeepsAnEarlierFailure) {
  Options({"-e"});
  EXPECT_EQ(loader.FormClose(), 1);
  loader.ConnectSpeedButtonClick();
  loader.EraseSpeedButtonClick();
  ASSERT_TRUE(test::Ok(loader, Step::Erase));
  EXPECT_EQ(loader.FormClose(), 1);
}

// --- one-click load ---

// A loader on its own fake target, for tables of whole runs.
struct LoaderRig {
  LoaderRig() {
    const unsigned ports[] = {0};
    loader.FillPortList(ports);
  }
  test::TempDir dir;
  FakeBootloader fake{kPage};
  test::RecordingView view;
  Loader loader{view, fake, [](unsigned n) { return "/dev/test/com" + std::to_string(n); }};
};

std::uint16_t LastCommand(const FakeBootloader& fake) {
  if (fake.requests.empty()) return 0;
  const Bytes& last = fake.requests.back();
  return static_cast<std::uint16_t>(last[0] | last[1] << 8);
}

TEST(RunAllStepsTest, StopsAtTheFirstFailedStep) {
  const Bytes data = test::Pattern(kPage);
  struct Case {
    const char* name;
    bool withFile;
    std::function<void(FakeBootloader&)> arrange;
    std::uint16_t lastCommand;  // the last request that reached the target; 0: none
    bool started;
  };
  const auto never = [](std::uint16_t command, int attempts) {
    return [=](FakeBootloader& fake) {
      fake.receiveFaults[command] =
          std::deque<Fault>(static_cast<std::size_t>(attempts), Fault{protocol::kTimedOut, false});
    };
  };
  const Case cases[] = {
      {"no file loaded: nothing is sent", false, [](FakeBootloader&) {}, 0, false},
      {"no sync answer: no erase", true, [](FakeBootloader& f) { f.syncAnswers = false; }, 0,
       false},
      {"erase unanswered: nothing programmed", true, never(kCmdEraseFlash, 95), kCmdEraseFlash,
       false},
      {"a block never acknowledged: no start", true, never(kCmdProgramBlock, 199), kCmdProgramBlock,
       false},
      {"finish refused: no start", true, [](FakeBootloader& f) { f.finishStatus = 0x0045; },
       kCmdFinishProgram, false},
      {"every step succeeds", true, [](FakeBootloader&) {}, protocol::kCmdStartApplication, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoaderRig rig;
    if (c.withFile) {
      rig.loader.LoadHexFile(
          rig.dir.Write("app.hex", test::HexText().Data(0x1D000000, data).End().Text()));
    }
    c.arrange(rig.fake);
    EXPECT_EQ(rig.loader.RunAllSteps(), c.started);
    EXPECT_EQ(LastCommand(rig.fake), c.lastCommand);
    EXPECT_EQ(rig.fake.opens, c.withFile ? 1 : 0);
    if (!c.withFile) {
      EXPECT_EQ(rig.view.Info(), kFileNotLoadedText);
    }
    if (c.started) {
      EXPECT_EQ(rig.fake.flash, data);
    }
  }
}

}  // namespace
}  // namespace vestrel::app
