// The page's entry points into the core. The page calls them through ccall, as async calls
// since the core may suspend while it waits for the port or the user, and one at a time: while
// one runs the page starts nothing else, as the window's thread would be busy with it.
#include <emscripten.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "app/loader.h"
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

}  // extern "C"
