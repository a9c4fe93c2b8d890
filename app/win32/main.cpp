// vestrel.exe: the loader's window on Windows. Exit code 0 when the requested steps succeeded, 1
// otherwise.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "app/stop_signals.h"
#include "app/win32/vestrelmain.h"  // and <windows.h>
#include "app/window_help.h"

namespace {

// A box for an exception that escaped before the window existed.
void ShowExceptionBox(const std::string& message) {
  if (std::getenv(vestrel::win32::kAutoCloseBoxesVariable) != nullptr) {
    std::fprintf(stderr, "box: Error: %s\n", message.c_str());
    return;
  }
  MessageBoxA(nullptr, message.c_str(), "Error", MB_OK | MB_ICONERROR);
}

// --help and --version: to the output a script or a console gave the program, and in a box when
// it was started without one (from the desktop), since a window program has no console itself.
void Answer(const std::string& text) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  FILE* stream = nullptr;
  if (output == nullptr || output == INVALID_HANDLE_VALUE) {
    if (!AttachConsole(ATTACH_PARENT_PROCESS) || freopen_s(&stream, "CONOUT$", "w", stdout) != 0) {
      MessageBoxA(nullptr, text.c_str(), "Vestrel", MB_OK | MB_ICONINFORMATION);
      return;
    }
  }
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vestrel::win32;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (const std::optional<std::string> text = vestrel::app::WindowHelpOrVersion(args)) {
    Answer(*text);
    return 0;
  }
  // Ctrl-C (when started from a console) closes the window as its close button does, so that the
  // port is released.
  vestrel::app::StopSignals stopSignals;
  try {
    TVestrelForm form(args, FormServices::Real());
    form.SetStopCheck(&vestrel::app::StopSignals::Reason);
    form.OnDestroyed([] { PostQuitMessage(0); });
    form.Show(SW_SHOWDEFAULT);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      if (form.Handle() != nullptr && IsDialogMessageA(form.Handle(), &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    return form.ExitStatus();
  } catch (const std::exception& e) {
    // Nothing was loaded when the window could not even be built.
    ShowExceptionBox(e.what());
    return 1;
  }
}
