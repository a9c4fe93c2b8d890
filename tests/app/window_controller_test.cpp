// What both windows do around the core, once, on a recording host: one operation at a time, the
// automatic run once, a close during an operation carried out after it, the stop polled, boxes
// that close themselves, and the two lists filled.
#include "app/window_controller.h"

#include <gtest/gtest.h>

#include "protocol/bootloader_commands.h"
#include "tests/support/fake_bootloader.h"
#include "tests/support/forwarding_link.h"
#include "tests/support/hex_text.h"
#include "tests/support/recording_view.h"
#include "tests/support/step_outcome.h"

namespace vestrel::app {
namespace {

using test::Bytes;
using test::FakeBootloader;

constexpr std::uint32_t kWindowFlash = 4096;

class RecordingHost : public test::RecordingView, public WindowHost {
 public:
  // The view's methods come from the recorder.
  void SetInfoText(const std::string& t) override { RecordingView::SetInfoText(t); }
  void SetPercentText(const std::string& t) override { RecordingView::SetPercentText(t); }
  void SetProgress(int p) override { RecordingView::SetProgress(p); }
  int Progress() const override { return RecordingView::Progress(); }
  void SetVersionText(const std::string& t) override { RecordingView::SetVersionText(t); }
  void SetFileText(const std::string& t) override { RecordingView::SetFileText(t); }
  void SetStatusPanel(int i, const std::string& t) override { RecordingView::SetStatusPanel(i, t); }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    if (controller != nullptr && controller->AutoClosesBox(text, caption)) ++autoClosed;
    RecordingView::ShowMessage(text, caption);
  }
  void SetButtonEnabled(Button b, bool e) override { RecordingView::SetButtonEnabled(b, e); }
  void SetListEnabled(ListBox l, bool e) override { RecordingView::SetListEnabled(l, e); }
  void AddPortEntry(const std::string& t) override { RecordingView::AddPortEntry(t); }
  int PortEntryCount() const override { return RecordingView::PortEntryCount(); }
  std::string PortEntry(int i) const override { return RecordingView::PortEntry(i); }
  int SelectedPortIndex() const override { return RecordingView::SelectedPortIndex(); }
  void SelectPortIndex(int i) override { RecordingView::SelectPortIndex(i); }
  int SelectedBaudIndex() const override { return RecordingView::SelectedBaudIndex(); }
  void SelectBaudIndex(int i) override { RecordingView::SelectBaudIndex(i); }
  void ProcessMessages() override { RecordingView::ProcessMessages(); }
  void Pause(unsigned ms) override { RecordingView::Pause(ms); }

  // WindowHost
  void AddBaudEntry(const std::string& text) override { bauds.push_back(text); }
  std::optional<std::string> ChooseFile() override { return chosen; }
  void PostActivation() override { ++activationsPosted; }
  void CloseWindow() override {
    if (controller->CloseAsked()) ++closed;
  }

  WindowController* controller = nullptr;
  std::vector<std::string> bauds;
  std::optional<std::string> chosen;
  int activationsPosted = 0;
  int closed = 0;
  int autoClosed = 0;
};

class WindowControllerTest : public ::testing::Test {
 protected:
  WindowControllerTest() { host.controller = &controller; }

  void Start(std::vector<std::string> args) { controller.Start(args); }

  std::string HexFile() {
    return dir.Write("app.hex", test::HexText().Data(0x1D000000, data).End().Text());
  }

  WindowServices Services(bool autoClose = false) {
    return {[this](LoaderView&) { return std::make_unique<test::ForwardingLink>(fake); },
            [](unsigned n) { return "/dev/test/com" + std::to_string(n); }, "", autoClose};
  }

  test::TempDir dir;
  Bytes data = test::Pattern(kWindowFlash);
  FakeBootloader fake{kWindowFlash};
  RecordingHost host;
  WindowController controller{host, Services()};
};

TEST_F(WindowControllerTest, StartFillsTheBaudListFromTheOneListOfRates) {
  Start({});
  EXPECT_EQ(host.bauds, (std::vector<std::string>{"1200", "2400", "4800", "9600", "19200", "38400",
                                                  "57600", "115200"}));
  EXPECT_EQ(host.baudIndex, kDefaultBaudIndex);
}

TEST_F(WindowControllerTest, TheAutomaticRunHappensOnceAndClosesWhenAsked) {
  Start({"-f" + HexFile(), "-c1", "-b7", "-a"});
  controller.Activated();
  controller.Activated();
  EXPECT_EQ(host.activationsPosted, 2);  // until it has run
  controller.FormActivate();
  controller.FormActivate();
  controller.Activated();
  EXPECT_EQ(host.activationsPosted, 2);
  EXPECT_EQ(fake.opens, 1);
  EXPECT_EQ(fake.flash, data);
  EXPECT_EQ(host.closed, 1);
  EXPECT_EQ(controller.ExitStatus(), 0);
}

TEST_F(WindowControllerTest, AClickDuringAnOperationIsDroppedAndACloseWaitsForItsEnd) {
  Start({});
  host.chosen = HexFile();
  controller.OpenFileSpeedButtonClick();
  controller.ConnectSpeedButtonClick();
  ASSERT_TRUE(test::Ok(controller.Core(), Step::Connect));
  int programRequests = 0;
  fake.onRequest = [&](const Bytes& request) {
    if (request[0] != protocol::kCmdProgramBlock || ++programRequests != 2) return;
    controller.ConnectSpeedButtonClick();  // queued before the buttons went grey
    host.CloseWindow();                    // the user closes the window meanwhile
    EXPECT_EQ(host.closed, 0);
  };
  controller.ProgramSpeedButtonClick();
  EXPECT_EQ(fake.syncs, 1);
  EXPECT_EQ(fake.flash, data);
  EXPECT_EQ(host.closed, 1);  // once Program had returned
  EXPECT_TRUE(controller.Closed());
}

TEST_F(WindowControllerTest, AStopEndsTheStepClosesTheWindowAndBoxesNoLongerWait) {
  Start({"-f" + HexFile(), "-c1", "-b7", "-a"});
  std::string stop;
  controller.SetStopCheck([&stop] { return stop; });
  controller.PollStop();
  EXPECT_EQ(host.closed, 0);
  fake.onRequest = [&](const Bytes& request) {
    if (request[0] == protocol::kCmdProgramBlock) stop = "Stopped by a test.";
  };
  controller.FormActivate();
  EXPECT_EQ(fake.RequestsOf(protocol::kCmdProgramBlock).size(), 1u);
  EXPECT_GE(host.autoClosed, 1);  // the failed step's box did not wait for OK
  controller.PollStop();
  EXPECT_GE(host.closed, 1);
  EXPECT_EQ(controller.ExitStatus(), 1);
}

TEST(WindowControllerBoxes, CloseThemselvesOnlyWhenUnattended) {
  FakeBootloader fake(kWindowFlash);
  for (bool unattended : {false, true}) {
    RecordingHost host;
    WindowController controller(
        host, {[&fake](LoaderView&) { return std::make_unique<test::ForwardingLink>(fake); },
               [](unsigned) { return std::string(); }, "", unattended});
    EXPECT_EQ(controller.AutoClosesBox("HEX File Error", "Error"), unattended);
  }
}

}  // namespace
}  // namespace vestrel::app
