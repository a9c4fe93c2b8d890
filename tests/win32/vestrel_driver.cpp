// A second program that uses vestrel.exe as a user would, from outside: it finds the window,
// clicks its buttons, fills the file dialog, reads the texts, closes the boxes, and saves
// pictures of what the screen shows. scripts/test-windows runs it beside vestrel.exe under Wine.
//
//   vestrel-driver load HEX BAD_HEX SHOT_DIR   a load through the buttons (COM3, 115200 baud),
//                                              with a HEX File Error box on the way; closes the
//                                              window at the end
//   vestrel-driver layout SHOT_FILE            the layout at the screen's DPI; closes the window
//
// Exit code 0 when everything was as expected; otherwise 1 and the reason on stderr.
// clang-format off
#include "app/win32/vestrelmain.h"
#include "tests/win32/win32_test_support.h"
// clang-format on

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

using namespace vestrel;
using namespace vestrel::win32;
namespace tw = vestrel::test::win32;

namespace {

constexpr DWORD kStepTimeoutMs = 60000;

struct DriverFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void Expect(bool condition, const std::string& what) {
  if (!condition) throw DriverFailure(what);
}

class Driver {
 public:
  Driver() {
    Expect(tw::WaitUntil([this] { return (form_ = FindWindowA(kFormClassName, nullptr)); },
                         kStepTimeoutMs),
           "the window did not appear");
    Expect(tw::WaitUntil([this] { return IsWindowVisible(form_) != 0; }),
           "the window stays hidden");
  }

  HWND Form() const { return form_; }
  // A control of the window, of KeyPanel or of FileGroupBox.
  HWND Control(ControlId id) const {
    for (HWND parent : {form_, GetDlgItem(form_, KeyPanel), GetDlgItem(form_, FileGroupBox)}) {
      if (HWND control = GetDlgItem(parent, id)) return control;
    }
    return nullptr;
  }
  std::string Info() const { return tw::Text(Control(InfoStaticText)); }

  // Waits for the button to be enabled (the step before may still be ending), then clicks it.
  void Click(ControlId button) {
    Expect(tw::WaitUntil([&] { return IsWindowEnabled(Control(button)) != 0; }, kStepTimeoutMs),
           "button " + std::to_string(button) + " disabled");
    PostMessageA(Control(button), BM_CLICK, 0, 0);
  }

  // Waits for `done`; a message box that opens meanwhile is a failure.
  void WaitFor(const std::string& what, const std::function<bool()>& done) {
    std::string box;
    const bool ok = tw::WaitUntil(
        [&] {
          for (HWND dialog : tw::DialogsOf(form_)) {
            if (tw::IsMessageBox(dialog)) box = tw::ReadMessageBox(dialog).text;
          }
          return !box.empty() || done();
        },
        kStepTimeoutMs);
    Expect(box.empty(), "while waiting for " + what + ", a box said: " + box);
    Expect(ok, "no " + what + "; the information line says \"" + Info() + "\"");
  }

  void WaitForInfo(const std::string& text) {
    WaitFor("\"" + text + "\"", [&] { return Info() == text; });
  }

  HWND WaitForDialog(const std::string& what) {
    HWND found = nullptr;
    Expect(tw::WaitUntil([&] {
             const auto dialogs = tw::DialogsOf(form_);
             found = dialogs.empty() ? nullptr : dialogs.front();
             return found != nullptr;
           }),
           "no " + what);
    return found;
  }

  void ChooseFile(const std::string& path) {
    Click(OpenFileSpeedButton);
    HWND dialog = WaitForDialog("file dialog");
    Expect(!tw::IsMessageBox(dialog), "a box instead of the file dialog");
    tw::ChooseFile(dialog, path);
    Expect(tw::WaitUntil([dialog] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }),
           "the file dialog did not take " + path);
  }

  void Screenshot(HWND window, const std::string& path) {
    Expect(tw::SaveScreenshot(window, path), "no picture saved to " + path);
    std::printf("driver: saved %s\n", path.c_str());
  }

  void CloseWindow() {
    PostMessageA(form_, WM_CLOSE, 0, 0);
    Expect(tw::WaitUntil([this] { return !IsWindow(form_); }), "the window did not close");
  }

 private:
  HWND form_ = nullptr;
};

bool SameFile(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) ==
         CSTR_EQUAL;
}

void Load(const std::string& hex, const std::string& badHex, const std::string& shots) {
  Driver d;
  HWND ports = d.Control(ComComboBox);
  const LRESULT com3 = SendMessageA(ports, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                    reinterpret_cast<LPARAM>("Com3"));
  Expect(com3 != CB_ERR, "Com3 is not in the port list");
  SendMessageA(ports, CB_SETCURSEL, static_cast<WPARAM>(com3), 0);
  SendMessageA(d.Control(BaudComboBox), CB_SETCURSEL, 7, 0);  // 115200

  // A file that is no HEX file: the box, owned by the window, with the error icon.
  d.ChooseFile(badHex);
  HWND box = d.WaitForDialog("HEX File Error box");
  const tw::ShownBox shown = tw::ReadMessageBox(box);
  Expect(shown.caption == "Error" && shown.text.rfind("HEX File Error", 0) == 0,
         "the box says " + shown.caption + ": " + shown.text);
  Expect(shown.errorIcon && shown.buttonCount == 1 && shown.owner == d.Form(),
         "the box lacks its icon, its single button or its owner");
  d.Screenshot(box, shots + "\\message-box.png");
  tw::PressButton(box, IDOK);
  Expect(tw::WaitUntil([box] { return !IsWindow(box); }), "the box did not close");

  d.ChooseFile(hex);
  d.WaitFor("the file text", [&] { return SameFile(tw::Text(d.Control(FileStaticText)), hex); });
  d.Click(ConnectSpeedButton);
  d.WaitForInfo("Connected...");
  // "Connected..." comes before the version read, which ends with the step buttons enabled.
  d.WaitFor("the step buttons enabled after the version read",
            [&] { return IsWindowEnabled(d.Control(EraseSpeedButton)) != 0; });
  Expect(tw::Text(d.Control(VersionStaticText)).rfind("BL Version: v", 0) == 0, "no version");
  d.Click(EraseSpeedButton);
  d.WaitForInfo("Erasing: Great Success");
  d.Click(ProgramSpeedButton);
  d.WaitForInfo("Programm: Success");
  Expect(tw::Text(d.Control(ProzStaticText)) == "100%", "the percent text is not 100%");
  d.WaitFor("the buttons enabled again",
            [&] { return IsWindowEnabled(d.Control(RunSpeedButton)) != 0; });
  d.Screenshot(d.Form(), shots + "\\main-window.png");
  d.Click(RunSpeedButton);
  d.WaitForInfo("Running Program");
  d.CloseWindow();
}

// The controls at the screen's DPI, scaled from the form description's 96 DPI places.
void Layout(const std::string& shot) {
  Driver d;
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  std::printf("driver: %d DPI\n", dpi);
  RECT client{};
  GetClientRect(d.Form(), &client);
  Expect(Size{client.right, client.bottom} == Scaled(kDesignClientSize, dpi),
         "client area " + std::to_string(client.right) + " x " + std::to_string(client.bottom));
  const std::pair<ControlId, Rect> places[] = {
      {KeyPanel, {0, 8, 494, 44}},
      {RunSpeedButton, {392, 8, 28, 28}},
      {PICProgressBar, {48, 128, 447, 16}},
      {StatusBar, {0, 184, 495, 19}},
  };
  for (const auto& [id, design] : places) {
    RECT r{};
    GetWindowRect(d.Control(id), &r);
    MapWindowPoints(nullptr, GetParent(d.Control(id)), reinterpret_cast<POINT*>(&r), 2);
    Expect(Rect{r.left, r.top, r.right - r.left, r.bottom - r.top} == Scaled(design, dpi),
           "control " + std::to_string(id) + " is not where the form puts it at this DPI");
  }
  d.Screenshot(d.Form(), shot);
  d.CloseWindow();
}

}  // namespace

int main(int argc, char** argv) {
  SetProcessDPIAware();  // the same pixels as the window, which is DPI aware
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 4 && args[0] == "load") {
      Load(args[1], args[2], args[3]);
    } else if (args.size() == 2 && args[0] == "layout") {
      Layout(args[1]);
    } else {
      std::fprintf(stderr, "usage: vestrel-driver load HEX BAD_HEX SHOT_DIR | layout SHOT_FILE\n");
      return 2;
    }
  } catch (const DriverFailure& failure) {
    std::fprintf(stderr, "driver: %s\n", failure.what());
    return 1;
  }
  std::printf("driver: done\n");
  return 0;
}
