// What the Qt and the Win32 window both do around the core, written once: one operation at a
// time (a click meanwhile is dropped), the automatic run on the first activation, a close asked
// for during an operation carried out when it has ended, the stop polled a few times a second,
// boxes that close themselves in unattended runs, the port list filled from the port
// component's scan and the baud list from the one list of rates. Each window keeps only its
// widgets, behind WindowHost.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/loader.h"
#include "comport/comport.h"
#include "protocol/boot_link.h"
#include "protocol/loader_view.h"

namespace vestrel::app {

// What a window gives the controller beyond the view the core writes to.
class WindowHost : public LoaderView {
 public:
  virtual void AddBaudEntry(const std::string& text) = 0;
  // The file dialog: the chosen file's path, or nothing when the user cancelled.
  virtual std::optional<std::string> ChooseFile() = 0;
  // Asks for WindowController::FormActivate soon, outside the event that is running now.
  virtual void PostActivation() = 0;
  // Closes the window now; its close event then asks WindowController::CloseAsked.
  virtual void CloseWindow() = 0;
};

// What a window needs from outside; the process start-up gives the real ones, tests fakes.
struct WindowServices {
  // Makes the loader's own serial link; the link shows its port errors through the window.
  std::function<std::unique_ptr<protocol::BootLink>(LoaderView& view)> makeLink;
  // The device path of port number n (1 for COM1).
  PortPathResolver resolvePortPath;
  // Where the window remembers its last file, port and baud rate; empty: nowhere.
  std::string settingsPath = {};
  // Unattended tests only: every box writes "box: <caption>: <text>" to stderr and closes
  // itself at once, as if OK was clicked.
  bool autoCloseBoxes = false;

  // The serial link, the port map, the settings file and the environment of the platform.
  static WindowServices Real();
};

// Set (to anything) only by tests that run the program unattended (WindowServices::Real).
inline constexpr const char* kAutoCloseBoxesVariable = "VESTREL_AUTO_CLOSE_BOXES";

class WindowController {
 public:
  // `host` must outlive the controller; nothing is asked of it until Start.
  WindowController(WindowHost& host, WindowServices services);

  // Once the widgets exist: reads the command line `args` (without the program name), fills the
  // baud list and the port list with the ports the port component found usable, the first one
  // selected.
  void Start(const std::vector<std::string>& args);

  void OpenFileSpeedButtonClick();
  void ConnectSpeedButtonClick();
  void EraseSpeedButtonClick();
  void ProgramSpeedButtonClick();
  void VerifySpeedButtonClick();
  void RunSpeedButtonClick();
  // A HEX or ELF file dropped on the window; none is taken while an operation runs.
  bool AcceptsDrop() const { return !running_; }
  void FileDropped(const std::string& path);

  // Each activation of the window, and its first showing (where activation never comes): the
  // first asks the host for the automatic run.
  void Activated();
  // The automatic run; does its work on the first call only, and closes the window at its end
  // when the command line asks for it.
  void FormActivate();
  // The window's close event: true when it may close now (the exit code is computed then);
  // false while an operation runs, which closes the window when it has returned.
  bool CloseAsked();

  // Asked before every request to the bootloader, and by PollStop: once it answers (why), the
  // running operation stops at its next request, boxes no longer wait for OK, and the window
  // closes as if its close button had been pressed.
  void SetStopCheck(std::function<std::string()> check);
  // The host calls this every kStopPollMs once a stop check is set.
  void PollStop();
  static constexpr unsigned kStopPollMs = 100;

  // Whether a box is to close itself at once (unattended, or the window is being stopped); it
  // then writes "box: <caption>: <text>" to stderr.
  bool AutoClosesBox(const std::string& text, const std::string& caption) const;

  bool Busy() const { return running_; }
  bool Closed() const { return closed_; }
  int ExitStatus() const { return loader_.ExitStatus(); }
  const Loader& Core() const { return loader_; }
  // The window's port component UpdateCom, with the settings of the form description.
  comport::TComPort& PortComponent() { return UpdateCom; }

 private:
  // Runs one operation of the core; a click that arrives while one runs is dropped, and a close
  // asked for meanwhile happens when it has returned.
  void RunOperation(const std::function<void()>& operation);

  WindowHost& host_;
  std::string settingsPath_;
  bool autoCloseBoxes_;
  bool activated_ = false;
  bool running_ = false;
  bool closeRequested_ = false;
  bool closed_ = false;
  bool stopPolled_ = false;
  std::function<std::string()> stopCheck_;
  // The port component; the window uses only its table of usable ports.
  comport::TComPort UpdateCom;
  // The link outlives the loader, which closes the port when it is destroyed.
  std::unique_ptr<protocol::BootLink> link_;
  Loader loader_;
};

}  // namespace vestrel::app
