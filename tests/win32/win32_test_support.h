// Helpers for the tests of the Win32 windows under Wine (in the test programs and in the driver
// that clicks vestrel.exe from outside): control texts, waiting while messages run, the boxes and
// dialogs that a window opens, and pictures of windows as the screen shows them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vestrel::test::win32 {

// A window's text; works on another process's windows too, without waiting for it.
std::string Text(HWND window);
std::string ClassName(HWND window);

// Lets this thread's messages run until `done` holds; false when `timeoutMs` passed first.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 20000);

// The visible dialogs (class #32770) owned by `owner`, or of this thread when `owner` is null.
std::vector<HWND> DialogsOf(HWND owner);

// What a message box showed.
struct ShownBox {
  std::string caption;
  std::string text;
  bool errorIcon = false;
  int buttonCount = 0;
  HWND owner = nullptr;
};
bool IsMessageBox(HWND dialog);
ShownBox ReadMessageBox(HWND box);
// Clicks a dialog's button as the user does (the message is posted, not waited for).
void PressButton(HWND dialog, int id);

// Types `path` into an open-file dialog's file name and presses its Open button.
void ChooseFile(HWND dialog, const std::string& path);

// While it lives, every message box that this thread opens is recorded and closed as a click on
// OK would, and any other dialog is handed to `onDialog` (once). Runs inside the boxes' own
// message loops, on a timer of this thread.
class BoxCloser {
 public:
  BoxCloser();
  ~BoxCloser();
  BoxCloser(const BoxCloser&) = delete;
  BoxCloser& operator=(const BoxCloser&) = delete;

  std::vector<ShownBox> boxes;
  std::function<void(HWND dialog)> onDialog;
  // "caption: first line of the text" of each box.
  std::vector<std::string> Texts() const;

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
  void Poll();

  UINT_PTR timer_ = 0;
  std::vector<HWND> handed_;
};

// Saves what the screen shows of `window`, frame included, as a PNG file; false on failure.
bool SaveScreenshot(HWND window, const std::string& path);

}  // namespace vestrel::test::win32
