// The Win32 window under Wine, in process against a fake bootloader: the form description
// (controls, texts, hints, states, keyboard order, status panels, scaling and anchoring), the
// button pictures, loads clicked through the buttons and the file dialog, the automatic run and
// its exit code, closing during an operation, and the same run as the Qt window shows.
// The port scan must find COM1, COM3 and COM4 (scripts/test-windows links them to simulators).
// clang-format off
#include "app/win32/vestrelmain.h"
#include "tests/support/fake_bootloader.h"
#include "tests/support/forwarding_link.h"
#include "tests/support/hex_text.h"
#include "tests/support/step_outcome.h"
#include "tests/support/window_run.h"
#include "tests/win32/win32_test_support.h"

#include <commctrl.h>
#include <shlobj.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace vestrel;
using namespace vestrel::win32;
using vestrel::test::Bytes;
using vestrel::test::FakeBootloader;
using vestrel::test::ForwardingLink;
using vestrel::test::TempDir;
using vestrel::test::win32::BoxCloser;
using vestrel::test::win32::Text;

namespace {

constexpr std::uint32_t kFlashSize = 4096;

std::string WriteHexFile(const TempDir& dir, const std::string& name, const Bytes& data) {
  return dir.Write(name, test::HexText().Data(0x1D000000, data).End().Text());
}

Rect ChildRect(HWND control) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

Size Client(HWND window) {
  RECT r{};
  GetClientRect(window, &r);
  return {r.right, r.bottom};
}

std::string Hint(HWND toolTips, HWND panel, HWND button) {
  char text[80] = "";
  TOOLINFOA tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = panel;
  tool.uId = reinterpret_cast<UINT_PTR>(button);
  tool.lpszText = text;
  SendMessageA(toolTips, TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&tool));
  return text;
}

std::vector<std::string> Entries(HWND combo) {
  std::vector<std::string> entries;
  const auto count = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    char text[64] = "";
    SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    entries.push_back(text);
  }
  return entries;
}

std::string Panel(HWND bar, int index) {
  char text[128] = "";
  SendMessageA(bar, SB_GETTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
  return text;
}

std::string ButtonStates(const TVestrelForm& form) {
  std::string states;
  for (int i = 0; i < kButtonCount; ++i) {
    states +=
        IsWindowEnabled(form.Control(SpeedButtonId(static_cast<Button>(i)))) ? "OCEPVR"[i] : '-';
  }
  return states;
}

class Win32WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ = std::make_unique<FakeBootloader>(kFlashSize);
    hexFile_ = WriteHexFile(files_, "app.hex", data_);
  }

  std::unique_ptr<TVestrelForm> MakeForm(std::vector<std::string> args = {},
                                         std::string settingsPath = {}) {
    FormServices services{[this](LoaderView&) { return std::make_unique<ForwardingLink>(*fake_); },
                          [](unsigned number) { return "\\\\.\\FAKECOM" + std::to_string(number); },
                          std::move(settingsPath)};
    auto form = std::make_unique<TVestrelForm>(std::move(args), std::move(services));
    return form;
  }

  // Clicks a speed button as the mouse does; the handler has run when this returns.
  static void Click(TVestrelForm& form, Button button) {
    HWND control = form.Control(SpeedButtonId(button));
    ASSERT_TRUE(IsWindowEnabled(control));
    SendMessageA(control, BM_CLICK, 0, 0);
  }

  std::unique_ptr<FakeBootloader> fake_;
  TempDir files_;
  Bytes data_ = test::Pattern(kFlashSize, 9);
  std::string hexFile_;
};

struct Design {
  ControlId id;
  const char* windowClass;
  Rect place;
  const char* hint;
  bool enabled;
  ControlId parent;  // 0: the window
};

TEST_F(Win32WindowTest, ControlsSitWhereTheFormDescriptionPutsThem) {
  auto form = MakeForm();
  const int dpi = form->Dpi();
  const Design designs[] = {
      {KeyPanel, "TPanel", {0, 8, 494, 44}, "", true, ControlId{}},
      {OpenFileSpeedButton, "Button", {8, 8, 28, 28}, "open file", true, KeyPanel},
      {ConnectSpeedButton, "Button", {64, 8, 28, 28}, "connect device", true, KeyPanel},
      {EraseSpeedButton, "Button", {160, 8, 28, 28}, "erase flash", false, KeyPanel},
      {ProgramSpeedButton, "Button", {208, 8, 28, 28}, "program flash", false, KeyPanel},
      {VerifySpeedButton, "Button", {256, 8, 28, 28}, "verify flash", false, KeyPanel},
      {RunSpeedButton, "Button", {392, 8, 28, 28}, "start application", false, KeyPanel},
      {FileGroupBox, "Button", {0, 56, 494, 33}, "", true, ControlId{}},
      {InfoStaticText, "Static", {16, 96, 479, 17}, "", true, ControlId{}},
      {ProzStaticText, "Static", {8, 128, 33, 17}, "", true, ControlId{}},
      {PICProgressBar, "msctls_progress32", {48, 128, 447, 16}, "", true, ControlId{}},
      {StatusBar, "msctls_statusbar32", {0, 184, 495, 19}, "", true, ControlId{}},
  };
  HWND toolTips = FindWindowExA(nullptr, nullptr, TOOLTIPS_CLASSA, nullptr);
  for (const Design& d : designs) {
    SCOPED_TRACE(d.id);
    HWND control = form->Control(d.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(test::win32::ClassName(control), d.windowClass);
    EXPECT_EQ(ChildRect(control), Scaled(d.place, dpi));
    EXPECT_EQ(IsWindowEnabled(control) != 0, d.enabled);
    EXPECT_EQ(GetParent(control), d.parent == 0 ? form->Handle() : form->Control(d.parent));
    if (*d.hint != '\0') {
      EXPECT_EQ(Hint(toolTips, form->Control(KeyPanel), control), d.hint);
    }
  }
  // The lists: their places (a combo box's own height follows its font), entries and selection.
  for (auto [id, left] : {std::pair{ComComboBox, 342}, std::pair{BaudComboBox, 422}}) {
    const Rect place = ChildRect(form->Control(id));
    EXPECT_EQ(place.left, Scaled(left, dpi));
    EXPECT_EQ(place.top, Scaled(152, dpi));
    EXPECT_EQ(place.width, Scaled(73, dpi));
    EXPECT_EQ(GetWindowLongA(form->Control(id), GWL_STYLE) & 3, CBS_DROPDOWN);  // editable
  }
  EXPECT_EQ(Entries(form->Control(BaudComboBox)),
            (std::vector<std::string>{"1200", "2400", "4800", "9600", "19200", "38400", "57600",
                                      "115200"}));
  EXPECT_EQ(Text(form->Control(BaudComboBox)), "38400");
  EXPECT_EQ(Entries(form->Control(ComComboBox)),
            (std::vector<std::string>{"Com1", "Com3", "Com4"}));
  EXPECT_EQ(form->SelectedPortIndex(), 0);
}

TEST_F(Win32WindowTest, WindowTextsPanelsAndKeyboardOrderFollowTheForm) {
  auto form = MakeForm();
  HWND window = form->Handle();
  EXPECT_EQ(Text(window), "Vestrel");
  EXPECT_EQ(Client(window), Scaled(kDesignClientSize, form->Dpi()));
  const LONG style = GetWindowLongA(window, GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_EQ(Text(form->Control(FileGroupBox)), "File");
  for (ControlId empty : {FileStaticText, InfoStaticText, ProzStaticText})
    EXPECT_EQ(Text(form->Control(empty)), "");
  EXPECT_EQ(GetParent(form->Control(FileStaticText)), form->Control(FileGroupBox));
  EXPECT_EQ(ChildRect(form->Control(FileStaticText)).left, Scaled(40, form->Dpi()));
  EXPECT_EQ(Text(form->Control(VersionStaticText)), "Bootloader Version");
  EXPECT_EQ(form->Progress(), 0);
  EXPECT_EQ(SendMessageA(form->Control(PICProgressBar), PBM_GETRANGE, FALSE, 0), 100);

  HWND bar = form->Control(StatusBar);
  int edges[5] = {};
  ASSERT_EQ(SendMessageA(bar, SB_GETPARTS, 5, reinterpret_cast<LPARAM>(edges)), 4);
  EXPECT_EQ(edges[0], Scaled(270, form->Dpi()));
  EXPECT_EQ(edges[1], Scaled(320, form->Dpi()));
  EXPECT_EQ(edges[2], Scaled(370, form->Dpi()));
  EXPECT_EQ(edges[3], -1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Panel(bar, i), "");
  EXPECT_EQ(Panel(bar, 3), "Vestrel V1.01");

  // The window's direct children in keyboard order; only the lists take the keyboard.
  std::vector<int> order;
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    order.push_back(GetDlgCtrlID(child));
    const bool tabStop = (GetWindowLongA(child, GWL_STYLE) & WS_TABSTOP) != 0;
    EXPECT_EQ(tabStop, GetDlgCtrlID(child) == ComComboBox || GetDlgCtrlID(child) == BaudComboBox);
  }
  EXPECT_EQ(order,
            (std::vector<int>{KeyPanel, ComComboBox, BaudComboBox, PICProgressBar, FileGroupBox,
                              ProzStaticText, InfoStaticText, VersionStaticText, StatusBar}));
}

TEST_F(Win32WindowTest, LayoutScalesWithTheDpiAndFollowsTheAnchors) {
  EXPECT_EQ(Scaled(Rect{342, 152, 73, 21}, 144), (Rect{513, 228, 110, 32}));
  EXPECT_EQ(Scaled(Rect{342, 152, 73, 21}, 96), (Rect{342, 152, 73, 21}));
  EXPECT_EQ(PanelEdges({270, 50, 50, 50}), (std::vector<int>{270, 320, 370, -1}));
  const Size grown{595, 243};
  const Size design{495, 203};
  struct Case {
    Rect place;
    unsigned anchors;
    Size container;
    Rect expected;
  };
  const Case cases[] = {
      {{8, 128, 33, 17}, kAnchorTopLeft, grown, {8, 128, 33, 17}},
      {{48, 128, 447, 16}, kAnchorStretch, grown, {48, 128, 547, 16}},
      {{342, 152, 73, 21}, kAnchorTopRight, grown, {442, 152, 73, 21}},
      {{0, 184, 495, 19}, kAnchorBottomStretch, grown, {0, 224, 595, 19}},
      {{16, 96, 479, 17}, kAnchorStretch, {10, 203}, {16, 96, 0, 17}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(AnchoredRect(c.place, design, c.container, c.anchors), c.expected);

  // The window itself: 100 wider and 40 taller.
  auto form = MakeForm();
  const int dpi = form->Dpi();
  RECT outer{};
  GetWindowRect(form->Handle(), &outer);
  SetWindowPos(form->Handle(), nullptr, 0, 0, outer.right - outer.left + Scaled(100, dpi),
               outer.bottom - outer.top + Scaled(40, dpi), SWP_NOMOVE | SWP_NOZORDER);
  EXPECT_EQ(ChildRect(form->Control(KeyPanel)), Scaled(Rect{0, 8, 594, 44}, dpi));
  EXPECT_EQ(ChildRect(form->Control(RunSpeedButton)), Scaled(Rect{492, 8, 28, 28}, dpi));
  EXPECT_EQ(ChildRect(form->Control(VerifySpeedButton)), Scaled(Rect{256, 8, 28, 28}, dpi));
  EXPECT_EQ(ChildRect(form->Control(InfoStaticText)), Scaled(Rect{16, 96, 579, 17}, dpi));
  EXPECT_EQ(ChildRect(form->Control(PICProgressBar)), Scaled(Rect{48, 128, 547, 16}, dpi));
  EXPECT_EQ(ChildRect(form->Control(BaudComboBox)).left, Scaled(522, dpi));
  EXPECT_EQ(ChildRect(form->Control(StatusBar)), Scaled(Rect{0, 224, 595, 19}, dpi));
}

TEST_F(Win32WindowTest, ButtonPicturesHaveAGreyFadedDisabledLook) {
  EXPECT_EQ(DisabledPixel(0xFF000000), 0x7F808080u);  // opaque black: half transparent mid grey
  EXPECT_EQ(DisabledPixel(0xFFFFFFFF), 0x7FFFFFFFu);
  EXPECT_EQ(DisabledPixel(0x00000000), 0x00808080u);  // transparent stays transparent
  const std::uint32_t red = DisabledPixel(0xFFFF0000);
  EXPECT_EQ(red & 0xFF, (red >> 8) & 0xFF);  // grey
  for (int size : {24, 36}) {
    for (int id = 101; id <= 106; ++id) {
      ButtonPicture picture(GetModuleHandleA(nullptr), id, size);
      EXPECT_NE(picture.Normal(), nullptr) << id;
      EXPECT_NE(picture.Disabled(), nullptr) << id;
      ICONINFO info{};
      ASSERT_TRUE(GetIconInfo(picture.Normal(), &info));
      BITMAP bitmap{};
      GetObject(info.hbmColor, sizeof bitmap, &bitmap);
      EXPECT_EQ(bitmap.bmWidth, size);
      DeleteObject(info.hbmColor);
      DeleteObject(info.hbmMask);
    }
  }
}

TEST_F(Win32WindowTest, ButtonsAndTheFileDialogCarryALoad) {
  auto form = MakeForm();
  form->Show(SW_SHOWNORMAL);
  BoxCloser closer;
  closer.onDialog = [this](HWND dialog) { test::win32::ChooseFile(dialog, hexFile_); };
  Click(*form, Button::Open);
  EXPECT_EQ(Text(form->Control(FileStaticText)), hexFile_);
  EXPECT_EQ(ButtonStates(*form), "OC----");
  Click(*form, Button::Connect);
  EXPECT_EQ(Text(form->Control(InfoStaticText)), "Connected...");
  EXPECT_EQ(Text(form->Control(VersionStaticText)), "BL Version: v01.03");
  EXPECT_FALSE(IsWindowEnabled(form->Control(ComComboBox)));
  EXPECT_EQ(ButtonStates(*form), "OCEPVR");

  std::set<std::string> during;  // the buttons while the blocks go out
  fake_->onRequest = [&](const Bytes&) { during.insert(ButtonStates(*form)); };
  Click(*form, Button::Erase);
  EXPECT_EQ(Text(form->Control(InfoStaticText)), "Erasing: Great Success");
  Click(*form, Button::Program);
  EXPECT_EQ(Text(form->Control(InfoStaticText)), "Programm: Success");
  EXPECT_EQ(Text(form->Control(ProzStaticText)), "100%");
  EXPECT_TRUE(during.contains("------"));
  EXPECT_EQ(fake_->flash, data_);
  Click(*form, Button::Run);
  EXPECT_TRUE(test::Ok(form->Core(), app::Step::Run));
  EXPECT_TRUE(closer.boxes.empty());
  form->Close();
  EXPECT_TRUE(form->Closed());
  EXPECT_EQ(form->ExitStatus(), 0);
}

// What the shell hands a window when a file is dropped on it.
HGLOBAL DroppedFile(const std::string& path) {
  HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + path.size() + 2);
  auto* files = static_cast<DROPFILES*>(GlobalLock(memory));
  files->pFiles = sizeof(DROPFILES);
  std::memcpy(reinterpret_cast<char*>(files) + sizeof(DROPFILES), path.c_str(), path.size() + 1);
  GlobalUnlock(memory);
  return memory;
}

TEST_F(Win32WindowTest, RemembersItsFileAndPortAndOpensADroppedFile) {
  const std::string settings = files_.File("window.conf");
  {
    auto form = MakeForm({}, settings);
    form->Show(SW_SHOWNORMAL);
    form->FormActivate();
    SendMessageA(form->Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(DroppedFile(hexFile_)), 0);
    EXPECT_EQ(Text(form->Control(FileStaticText)), hexFile_);
    form->SelectPortIndex(1);  // Com3
    form->Close();
  }
  auto again = MakeForm({}, settings);
  again->Show(SW_SHOWNORMAL);
  again->FormActivate();
  EXPECT_EQ(Text(again->Control(FileStaticText)), hexFile_);
  EXPECT_EQ(Text(again->Control(ComComboBox)), "Com3");
  EXPECT_TRUE(test::Ok(again->Core(), app::Step::File));
}

TEST_F(Win32WindowTest, WaitOptionWaitsForThePortToAppear) {
  fake_->absentOpens = 3;
  auto form = MakeForm({"-c3", "-b7", "--wait=5", "--reset=dtr-pulse"});
  form->Show(SW_SHOWNORMAL);
  ASSERT_TRUE(test::win32::WaitUntil([&] { return test::Ok(form->Core(), app::Step::Connect); }));
  EXPECT_EQ(fake_->opens, 1);
  EXPECT_EQ(fake_->modemChanges, (std::vector<std::string>{"DTR=1", "DTR=0"}));
  EXPECT_EQ(Text(form->Control(InfoStaticText)), "Connected...");
}

TEST_F(Win32WindowTest, StopCheckEndsTheRunningStepAndClosesTheWindow) {
  auto form = MakeForm({"-f" + hexFile_, "-c1", "-b7", "-a"});
  std::string stop;
  form->SetStopCheck([&stop] { return stop; });
  int programRequests = 0;
  fake_->onRequest = [&](const Bytes& request) {
    if (request[0] == 0x02 && ++programRequests == 2) stop = "Stopped by a test.";
  };
  BoxCloser closer;
  form->Show(SW_SHOWNORMAL);
  ASSERT_TRUE(test::win32::WaitUntil([&] { return form->Closed(); }));
  EXPECT_EQ(programRequests, 2);  // nothing went out after the stop
  EXPECT_FALSE(test::Ok(form->Core(), app::Step::Program));
  EXPECT_EQ(form->ExitStatus(), 1);
  EXPECT_TRUE(closer.boxes.empty());  // the boxes of a stopping window do not wait
}

TEST_F(Win32WindowTest, AutomaticRunLoadsAndClosesWithItsExitCode) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> boxes;
  };
  const Case cases[] = {
      {{"-f" + hexFile_, "-c3", "-b7", "-a"}, 0, {}},
      // Without a connection the erase fails with its box, and the run stops there.
      {{"-a"}, 1, {"Error: Erase Flash Send Error"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    fake_ = std::make_unique<FakeBootloader>(kFlashSize);
    auto form = MakeForm(c.args);
    HWND window = form->Handle();
    BoxCloser closer;
    form->Show(SW_SHOWNORMAL);
    ASSERT_TRUE(test::win32::WaitUntil([&] { return form->Closed(); }));
    EXPECT_EQ(form->ExitStatus(), c.exitCode);
    EXPECT_EQ(closer.Texts(), c.boxes);
    for (const test::win32::ShownBox& box : closer.boxes) {
      EXPECT_TRUE(box.errorIcon);
      EXPECT_EQ(box.buttonCount, 1);
      EXPECT_EQ(box.owner, window);
    }
    if (c.exitCode == 0) {
      EXPECT_EQ(fake_->flash, data_);
    }
  }
}

// The same run as the Qt window's test on Linux (tests/gui/tst_window.cpp).
TEST_F(Win32WindowTest, ShowsTheSameRunAsTheQtWindow) {
  namespace run = test::window_run;
  fake_ = std::make_unique<FakeBootloader>(run::kFlashSize);
  const std::string hexFile = WriteHexFile(files_, "run.hex", run::Data());
  auto form = MakeForm({"-f" + hexFile});
  form->Show(SW_SHOWNORMAL);
  BoxCloser closer;
  std::size_t boxesSeen = 0;
  auto snapshot = [&](const std::string& step) {
    run::Shown shown;
    shown.caption = Text(form->Handle());
    for (int i = 0; i < kButtonCount; ++i) {
      shown.buttons[static_cast<std::size_t>(i)] =
          IsWindowEnabled(form->Control(SpeedButtonId(static_cast<Button>(i)))) != 0;
    }
    auto list = [&](ControlId id) {
      return run::ShownList{IsWindowEnabled(form->Control(id)) != 0, Entries(form->Control(id)),
                            Text(form->Control(id))};
    };
    shown.fileGroup = Text(form->Control(FileGroupBox));
    shown.fileText = Text(form->Control(FileStaticText));
    shown.info = Text(form->Control(InfoStaticText));
    shown.percent = Text(form->Control(ProzStaticText));
    shown.progress = form->Progress();
    shown.ports = list(ComComboBox);
    shown.bauds = list(BaudComboBox);
    shown.version = Text(form->Control(VersionStaticText));
    for (int i = 0; i < 4; ++i)
      shown.panels[static_cast<std::size_t>(i)] = Panel(form->Control(StatusBar), i);
    for (; boxesSeen < closer.boxes.size(); ++boxesSeen) {
      shown.boxes.push_back(closer.boxes[boxesSeen].caption + ": " + closer.boxes[boxesSeen].text);
    }
    return run::Snapshot(step, shown, hexFile);
  };
  form->FormActivate();
  std::string seen = snapshot("Activation, -f");
  for (const run::Step& step : run::Steps()) {
    if (step.prepare) step.prepare(*fake_);
    Click(*form, step.button);
    seen += snapshot(step.name);
  }
  EXPECT_EQ(seen, run::Expected(VESTREL_WINDOW_RUN_FILE));
}

}  // namespace
