// vestrel: the loader's window. Exit code 0 when the requested steps succeeded, 1 otherwise.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "app/gui/vestrel_application.h"
#include "app/gui/vestrelmain.h"
#include "app/stop_signals.h"
#include "app/window_help.h"

int main(int argc, char** argv) {
  using namespace vestrel::gui;
  // Taken before the toolkit removes the arguments it knows: each one is the loader's option.
  const std::vector<std::string> args(argv + 1, argv + argc);
  // Before the toolkit: it needs a display, and the answer does not.
  if (const std::optional<std::string> text = vestrel::app::WindowHelpOrVersion(args)) {
    std::cout << *text << std::flush;
    return 0;
  }
  VestrelApplication app(argc, argv);
  // SIGINT and SIGTERM close the window as its close button does, so that the port is released.
  vestrel::app::StopSignals stopSignals;
  try {
    TVestrelForm form(args, FormServices::Real());
    form.SetStopCheck(&vestrel::app::StopSignals::Reason);
    app.SetForm(&form);
    form.show();
    QApplication::exec();
    app.SetForm(nullptr);
    return form.ExitStatus();
  } catch (const std::exception& e) {
    // Nothing was loaded when the window could not even be built.
    ShowExceptionBox(QString::fromLocal8Bit(e.what()));
    return 1;
  }
}
