// <windows.h> after the component's headers, whose constants it would replace.
// clang-format off
#include "comport/v24_window_target.h"

#include <windows.h>
// clang-format on

namespace vestrel::comport {

bool V24WindowTarget::Post(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) {
  return ::PostMessageA(static_cast<HWND>(Window), Msg, wParam, lParam) != 0;
}

}  // namespace vestrel::comport
