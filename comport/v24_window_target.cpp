#include "comport/v24_window_target.h"
// After the component's headers, whose constants <windows.h> would replace.
#include <windows.h>

namespace vestrel::comport {

bool V24WindowTarget::Post(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) {
  return ::PostMessageA(static_cast<HWND>(Window), Msg, wParam, lParam) != 0;
}

}  // namespace vestrel::comport
