#include "comport/gui/v24_qt_notify.h"

#include <QCoreApplication>

namespace vestrel::comport {

bool V24QtNotifyTarget::Post(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (!window_ || Msg < QEvent::User || Msg > QEvent::MaxUser) return false;
  QCoreApplication::postEvent(window_, new V24Event(Msg, wParam, lParam));
  return true;
}

}  // namespace vestrel::comport
