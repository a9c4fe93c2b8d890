#include "app/window_controller.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "app/window_settings.h"
#include "protocol/serial_loader_link.h"

namespace vestrel::app {
namespace {

constexpr std::int32_t kUpdateComTxTimeoutMs = 1000;

}  // namespace

WindowServices WindowServices::Real() {
  return {[](LoaderView& view) { return std::make_unique<protocol::SerialLoaderLink>(view); },
          [](unsigned n) { return protocol::SerialLoaderLink::PortName(n, false); },
          WindowSettingsPath().value_or(std::string()),
          std::getenv(kAutoCloseBoxesVariable) != nullptr};
}

WindowController::WindowController(WindowHost& host, WindowServices services)
    : host_(host),
      settingsPath_(std::move(services.settingsPath)),
      autoCloseBoxes_(services.autoCloseBoxes),
      link_(services.makeLink(host)),
      loader_(host, *link_, std::move(services.resolvePortPath)) {
  // The design settings of UpdateCom. StreamOn and AutoSearch stay off, so the settings file is
  // never read or written.
  comport::TV24Parameter& v24 = *UpdateCom.GetV24();
  v24.SetDatenBits(comport::D_8);
  v24.SetBaudrate(comport::B__4800);
  v24.SetTXTimeOut(kUpdateComTxTimeoutMs);
  UpdateCom.SetDatei(comport::kDefaultSettingsFileName);
}

void WindowController::Start(const std::vector<std::string>& args) {
  loader_.ReadCommandLine(args);
  loader_.RememberSettingsIn(settingsPath_);
  // A wait for the board ends when the window is being closed.
  loader_.SetWaitCancelCheck([this] { return closeRequested_; });
  for (std::uint32_t rate : kBaudRates) host_.AddBaudEntry(std::to_string(rate));
  host_.SelectBaudIndex(kDefaultBaudIndex);
  std::vector<unsigned> usable;
  for (int i = 0; i < UpdateCom.GetMaxV24Useable(); ++i)
    usable.push_back(UpdateCom.Get_UseableV24(i));
  loader_.FillPortList(usable);
}

void WindowController::RunOperation(const std::function<void()>& operation) {
  if (running_) return;
  {
    running_ = true;
    struct Done {
      bool& running;
      ~Done() { running = false; }
    } done{running_};
    operation();
  }
  if (closeRequested_) {
    closeRequested_ = false;
    host_.CloseWindow();
  }
}

void WindowController::OpenFileSpeedButtonClick() {
  RunOperation([this] { loader_.OpenFileSpeedButtonClick(host_.ChooseFile()); });
}

void WindowController::ConnectSpeedButtonClick() {
  RunOperation([this] { loader_.ConnectSpeedButtonClick(); });
}

void WindowController::EraseSpeedButtonClick() {
  RunOperation([this] { loader_.EraseSpeedButtonClick(); });
}

void WindowController::ProgramSpeedButtonClick() {
  RunOperation([this] { loader_.ProgramSpeedButtonClick(); });
}

void WindowController::VerifySpeedButtonClick() {
  RunOperation([this] { loader_.VerifySpeedButtonClick(); });
}

void WindowController::RunSpeedButtonClick() {
  RunOperation([this] { loader_.RunSpeedButtonClick(); });
}

void WindowController::FileDropped(const std::string& path) {
  RunOperation([this, &path] { loader_.FileDropped(path); });
}

void WindowController::Activated() {
  if (!activated_) host_.PostActivation();
}

void WindowController::FormActivate() {
  if (activated_) return;
  activated_ = true;
  bool closeNow = false;
  RunOperation([this, &closeNow] { closeNow = loader_.FormActivate(); });
  if (closeNow) host_.CloseWindow();
}

bool WindowController::CloseAsked() {
  if (running_) {
    // Closing in the middle of an operation would leave the sequence half done: close after it.
    closeRequested_ = true;
    return false;
  }
  if (!closed_) loader_.FormClose();
  closed_ = true;
  return true;
}

void WindowController::SetStopCheck(std::function<std::string()> check) {
  stopCheck_ = check;
  loader_.SetStopCheck(std::move(check));
}

void WindowController::PollStop() {
  if (stopPolled_ || !stopCheck_ || stopCheck_().empty()) return;
  stopPolled_ = true;
  host_.CloseWindow();  // deferred by CloseAsked while an operation runs
}

bool WindowController::AutoClosesBox(const std::string& text, const std::string& caption) const {
  // A window that is being stopped must not wait for a click.
  if (!autoCloseBoxes_ && !(stopCheck_ && !stopCheck_().empty())) return false;
  std::fprintf(stderr, "box: %s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
  return true;
}

}  // namespace vestrel::app
