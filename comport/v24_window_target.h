// The notify target of a Win32 owner: the reader's messages go to a window with PostMessageA,
// as window messages of the values in v24_notify.h. Windows only.
#pragma once

#include "comport/v24_notify.h"

namespace vestrel::comport {

class V24WindowTarget final : public V24NotifyTarget {
 public:
  // Window is the owner's HWND; it must outlive the port's threads (Close joins them).
  explicit V24WindowTarget(void* Window) : Window(Window) {}

  // PostMessageA: false when the window is gone or its queue is full.
  bool Post(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) override;

 private:
  void* const Window;
};

}  // namespace vestrel::comport
