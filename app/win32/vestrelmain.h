// The main window TVestrelForm in plain Win32: the controls of the form description, the view
// that the loader core writes to, and the six button handlers, which call the core. All loader
// logic lives in app::Loader; the window only shows and forwards, as the Qt window does on Linux.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// <windows.h> after the core's headers, whose constants it would replace.
// clang-format off
#include "app/win32/form_layout.h"
#include "app/window_controller.h"

#include <windows.h>
#include <shellapi.h>

#include "app/win32/speed_button.h"
// clang-format on

namespace vestrel::win32 {

// What the window needs from outside; the process start-up gives the real ones, tests fakes.
using FormServices = app::WindowServices;
using app::kAutoCloseBoxesVariable;

// The window class and caption, by which tests and scripts find the window.
inline constexpr const char* kFormClassName = "TVestrelForm";
inline constexpr const char* kFormCaption = "Vestrel";

// Control identifiers (GetDlgCtrlID), in the keyboard order of the window's direct children;
// the speed buttons are children of KeyPanel.
enum ControlId : int {
  KeyPanel = 100,
  ComComboBox,
  BaudComboBox,
  PICProgressBar,
  FileGroupBox,
  ProzStaticText,
  InfoStaticText,
  VersionStaticText,
  FileStaticText,
  StatusBar,
  OpenFileSpeedButton = 200,
  ConnectSpeedButton,
  EraseSpeedButton,
  ProgramSpeedButton,
  VerifySpeedButton,
  RunSpeedButton,
};

// The speed button of a button of the view.
ControlId SpeedButtonId(Button button);

// The client area of the form description (the window's outer size with a classic frame is
// 503 x 230), at 96 DPI.
inline constexpr Size kDesignClientSize{495, 203};

// A private message: the automatic run, posted on the first activation so that it never runs
// inside the event that triggered it.
inline constexpr UINT kFormActivateMessage = WM_APP + 1;

class TVestrelForm final : public app::WindowHost {
 public:
  // Builds the window (hidden), reads the command line `args` (without the program name) and
  // fills the port list with the ports that the port component found usable, the first one
  // selected. Throws std::runtime_error when the window cannot be made.
  TVestrelForm(std::vector<std::string> args, FormServices services);
  // Destroys the window if it is still there; the loader closes its port.
  ~TVestrelForm() override;
  TVestrelForm(const TVestrelForm&) = delete;
  TVestrelForm& operator=(const TVestrelForm&) = delete;

  HWND Handle() const { return hwnd_; }
  // Shows the window; the automatic run follows once it is activated (or shown).
  void Show(int showCommand);
  // Closes the window as its close box does: FormClose computes the exit code and the window is
  // destroyed; while an operation runs, that happens when it has returned.
  void Close();
  // Called once the window has been destroyed (the process start-up ends its message loop).
  void OnDestroyed(std::function<void()> callback) { onDestroyed_ = std::move(callback); }

  // The process exit code, valid once the window has closed.
  int ExitStatus() const { return controller_.ExitStatus(); }
  const app::Loader& Core() const { return controller_.Core(); }
  // True while a handler or the automatic run is working.
  bool Busy() const { return controller_.Busy(); }

  // Asked before every request to the bootloader and a few times a second: once it answers
  // (why), the running operation stops at its next request, boxes no longer wait for OK, and
  // the window closes as if its close button had been pressed.
  void SetStopCheck(std::function<std::string()> check);
  bool Closed() const { return controller_.Closed(); }
  HWND Control(ControlId id) const;
  // The DPI that the layout was scaled for.
  int Dpi() const { return dpi_; }
  // The window's port component UpdateCom, with the settings of the form description.
  comport::TComPort& PortComponent() { return controller_.PortComponent(); }

  // Lets the queued messages of this thread run once, as the message loop would.
  static void DispatchQueued(HWND dialogWindow);

  // LoaderView
  void SetInfoText(const std::string& text) override;
  void SetPercentText(const std::string& text) override;
  void SetProgress(int percent) override;
  int Progress() const override;
  void SetVersionText(const std::string& text) override;
  void SetFileText(const std::string& text) override;
  void SetStatusPanel(int index, const std::string& text) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  void SetButtonEnabled(Button button, bool enabled) override;
  void SetListEnabled(ListBox list, bool enabled) override;
  void AddPortEntry(const std::string& text) override;
  int PortEntryCount() const override;
  std::string PortEntry(int index) const override;
  int SelectedPortIndex() const override;
  void SelectPortIndex(int index) override;
  int SelectedBaudIndex() const override;
  void SelectBaudIndex(int index) override;
  void ProcessMessages() override;
  void Pause(unsigned milliseconds) override;

  // app::WindowHost
  void AddBaudEntry(const std::string& text) override;
  std::optional<std::string> ChooseFile() override;
  void PostActivation() override;
  void CloseWindow() override { Close(); }

  // Handlers.
  void OpenFileSpeedButtonClick();
  void ConnectSpeedButtonClick();
  void EraseSpeedButtonClick();
  void ProgramSpeedButtonClick();
  void VerifySpeedButtonClick();
  void RunSpeedButtonClick();
  // The automatic run; does its work on the first call only.
  void FormActivate();

 private:
  struct Placed {
    HWND hwnd;
    Rect place;        // at this DPI, in its container
    Size placedIn;     // the container's size at this DPI
    unsigned anchors;  // AnchorLeft, ...
    int extraHeight;   // a combo box's drop-down list below its field
  };

  static void RegisterClasses();
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void ReportEscapedException(const std::string& message);

  void CreateControls();
  HWND AddControl(ControlId id, const char* windowClass, const char* text, DWORD style,
                  const Rect& design, unsigned anchors, HWND container, int extraHeight = 0);
  void SetUpButtons(HWND panel);
  void SetUpToolTips(HWND panel);
  void SetUpStatusBar();
  void ApplyAnchors();
  void FitToText(ControlId id);
  void OnCommand(int id, int notification);
  void OnDrawItem(const DRAWITEMSTRUCT& item);
  void OnClose();
  // A HEX or ELF file dropped on the window opens it.
  void OnDropFiles(HDROP drop);
  HWND List(ListBox list) const;

  HWND hwnd_ = nullptr;
  HWND toolTips_ = nullptr;
  int dpi_ = kDesignDpi;
  HFONT font_ = nullptr;
  std::vector<Placed> placed_;
  std::vector<std::unique_ptr<ButtonPicture>> pictures_;  // in button order
  std::function<void()> onDestroyed_;
  app::WindowController controller_;
};

// The entry that the text of an editable list names: the current entry if its text is shown,
// otherwise the first entry with that text (case-insensitive), otherwise -1. Typed text that
// names no entry selects nothing. As the Qt window reads its lists.
int NamedEntry(HWND comboBox);

}  // namespace vestrel::win32
