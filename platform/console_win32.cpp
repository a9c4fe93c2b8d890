// <windows.h> after the layer's headers (see win32_dcb.h).
// clang-format off
#include "platform/console.h"
#include "platform/win32_support.h"
// clang-format on

namespace vestrel::platform {

bool IsAnsiTerminal(StandardStream stream) {
  const HANDLE handle =
      ::GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void IgnoreBrokenPipe() {}

}  // namespace vestrel::platform
