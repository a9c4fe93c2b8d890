// The port component's notify target for a Qt window: each message of the reader thread
// becomes a V24Event, posted to the window's event queue, whose type is the message value
// (WM_V24_RXCHAR, ...; all inside Qt's range for user event types).
//
// The window must outlive the open port: close the port before the window is destroyed.
#pragma once

#include <QEvent>
#include <QObject>
#include <cstdint>

#include "comport/v24_notify.h"

namespace vestrel::comport {

class V24Event : public QEvent {
 public:
  V24Event(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam)
      : QEvent(static_cast<QEvent::Type>(Msg)), wParam_(wParam), lParam_(lParam) {}

  std::uint32_t Msg() const { return static_cast<std::uint32_t>(type()); }
  std::uintptr_t wParam() const { return wParam_; }  // the port number
  std::intptr_t lParam() const { return lParam_; }

 private:
  std::uintptr_t wParam_;
  std::intptr_t lParam_;
};

class V24QtNotifyTarget : public V24NotifyTarget {
 public:
  explicit V24QtNotifyTarget(QObject* Window) : window_(Window) {}

  // Safe from any thread; false without a window or for a value outside the user event range.
  bool Post(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) override;

 private:
  QObject* const window_;
};

}  // namespace vestrel::comport
