// The page's entry points into the core. The page calls them through ccall, as async calls
// since the core may suspend while it waits for the port or the user, and one at a time: while
// one runs the page starts nothing else, as the window's thread would be busy with it.
#include <emscripten.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "app/load_result.h"
#include "app/loader.h"
#include "protocol/error_class.h"
#include "protocol/reset_sequence.h"
#include "protocol/serial_loader_link.h"
#include "web/web_serial_device.h"
#include "web/web_view.h"

namespace vestrel::web {
namespace {

class WebLoader {
 public:
  WebLoader()
      : link_(view_,
              [this](const std::string& label) { return WebSerialDevice::Open(label, rate_); }),
        loader_(view_, link_, [](unsigned) { return std::string(); }) {}

  // The port the page lists as `displayName`, reached under `label`, or none when `label` is
  // empty; the baud list's entry, or with kFreeRateIndex the free rate (0: none given).
  void ChooseLine(const std::string& displayName, const std::string& label, int baudIndex,
                  std::uint32_t freeRate) {
    loader_.OverridePort(label.empty() ? std::nullopt
                                       : std::optional(protocol::PortTarget{displayName, label}));
    rate_ = baudIndex >= 0 && baudIndex < app::kBaudRateCount ? app::kBaudRates[baudIndex]
            : baudIndex == kFreeRateIndex                     ? freeRate
                                                              : 0;
    loader_.OverrideBaudRate(rate_ != 0 ? std::optional(rate_) : std::nullopt);
  }

  // The reset sequence for the next connects ("": none); why a text is refused, or "".
  std::string SetReset(const std::string& text) {
    if (text.empty()) {
      loader_.SetResetSequence(std::nullopt);
      return {};
    }
    std::string error;
    auto reset = protocol::ParseResetSequence(text, error);
    if (reset) loader_.SetResetSequence(std::move(reset));
    return error;
  }

  // Closes the port, so that the next connect opens the one chosen then.
  void ClosePort() { link_.ClosePort(); }

  app::Loader& Loader() { return loader_; }
  LoaderView& View() { return view_; }

  static constexpr int kFreeRateIndex = app::kBaudRateCount;

 private:
  WebView view_;
  std::uint32_t rate_ = 0;
  protocol::SerialLoaderLink link_;
  app::Loader loader_;
};

WebLoader& App() {
  static WebLoader app;
  return app;
}

// An exception out of the core (memory exhausted by a huge file) must not kill the page.
template <typename Action>
void Guarded(Action action) {
  try {
    action(App().Loader());
  } catch (const std::exception& error) {
    App().View().ShowMessage(std::string("Internal Error\n") + error.what(), "Error");
  }
}

}  // namespace
}  // namespace vestrel::web

using vestrel::Button;
using vestrel::app::Loader;
using vestrel::web::App;
using vestrel::web::Guarded;

extern "C" {

EMSCRIPTEN_KEEPALIVE void vestrel_choose_line(const char* displayName, const char* label,
                                              int baudIndex, double freeRate) {
  const bool valid = freeRate >= 1 && freeRate <= 0xFFFFFFFF;
  App().ChooseLine(displayName, label, baudIndex, valid ? static_cast<std::uint32_t>(freeRate) : 0);
}

// `path` is the chosen file in the page's memory file system.
EMSCRIPTEN_KEEPALIVE void vestrel_open_file(const char* path) {
  const std::string chosen(path);
  Guarded([&](Loader& loader) { loader.OpenFileSpeedButtonClick(chosen); });
}

EMSCRIPTEN_KEEPALIVE void vestrel_click(int button) {
  Guarded([button](Loader& loader) {
    switch (static_cast<Button>(button)) {
      case Button::Connect:
        return loader.ConnectSpeedButtonClick();
      case Button::Erase:
        return loader.EraseSpeedButtonClick();
      case Button::Program:
        return loader.ProgramSpeedButtonClick();
      case Button::Verify:
        return loader.VerifySpeedButtonClick();
      case Button::Run:
        return loader.RunSpeedButtonClick();
      case Button::Open:
        return;  // the page chooses the file: vestrel_open_file
    }
  });
}

EMSCRIPTEN_KEEPALIVE void vestrel_run_all() {
  Guarded([](Loader& loader) { loader.RunAllSteps(); });
}

// Returns why `text` is not a reset sequence ("" when it is taken; "" also clears it).
EMSCRIPTEN_KEEPALIVE const char* vestrel_set_reset(const char* text) {
  static std::string error;
  error = App().SetReset(text);
  return error.c_str();
}

// Only the image's own blocks are loaded after an erase (a board that keeps settings).
EMSCRIPTEN_KEEPALIVE void vestrel_set_skip_blank(int skip) {
  App().Loader().SetSkipBlankBlocks(skip != 0);
}

EMSCRIPTEN_KEEPALIVE void vestrel_close_port() {
  App().ClosePort();
}

// The baud list, "1200 2400 ... 115200", from the one list of rates; the page adds its free rate
// after them.
EMSCRIPTEN_KEEPALIVE const char* vestrel_baud_rates() {
  static const std::string rates = [] {
    std::string text;
    for (std::uint32_t rate : vestrel::app::kBaudRates)
      text += (text.empty() ? "" : " ") + std::to_string(rate);
    return text;
  }();
  return rates.c_str();
}

EMSCRIPTEN_KEEPALIVE int vestrel_default_baud_index() {
  return vestrel::app::kDefaultBaudIndex;
}

// What the board reported at the last connect: the flash size in bytes (0 when unknown) and
// the bootloader's version ("v01.03"; "" when it was not read).
EMSCRIPTEN_KEEPALIVE double vestrel_flash_size() {
  return App().Loader().Result().flashSize;
}

EMSCRIPTEN_KEEPALIVE const char* vestrel_bootloader_version() {
  static std::string version;
  version = App().Loader().Result().version;
  return version.c_str();
}

// How step `step` (vestrel::app::Step: 0 file, 1 connect, ... 5 run) went when it last ran:
// "ok", the class of its failure ("no-sync", "link-lost", ...), or "" when it has not run.
EMSCRIPTEN_KEEPALIVE const char* vestrel_step(int step) {
  if (step < 0 || step >= static_cast<int>(vestrel::app::kStepCount)) return "";
  const auto result = App().Loader().Result();
  const auto& outcome = result[static_cast<vestrel::app::Step>(step)];
  if (outcome.Succeeded()) return "ok";
  return outcome.state == vestrel::app::StepState::Failed ? vestrel::ErrorClassName(outcome.error)
                                                          : "";
}

}  // extern "C"
