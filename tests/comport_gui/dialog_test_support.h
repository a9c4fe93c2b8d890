// Helpers of the settings dialog's Qt tests: finding the dialog's children, waiting for a modal
// window and acting on it, clicking, typing, and comparing records with settings files.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <array>
#include <functional>
#include <utility>

#include "comport/v24_parameter.h"

namespace vestrel::comport::dialog_test {

// How long a test waits for a modal window before it closes every dialog and fails.
inline constexpr int kModalWaitMs = 5000;

template <typename W>
W* Child(const QWidget& parent, const char* name) {
  W* w = parent.findChild<W*>(QString::fromLatin1(name));
  if (w == nullptr) qFatal("no child %s", name);
  return w;
}

inline QComboBox* Box(const QWidget& dialog, const char* name) {
  return Child<QComboBox>(dialog, name);
}

inline std::array<bool, kDlgFlagCount> AllFlags(bool value) {
  std::array<bool, kDlgFlagCount> flags;
  flags.fill(value);
  return flags;
}

// Waits (on the event loop) for a modal window of type W, then runs Action on it once. When
// none appears in time, every visible dialog is closed so that no modal loop keeps running.
template <typename W>
class OnModal {
 public:
  explicit OnModal(std::function<void(W&)> Action) : action_(std::move(Action)) {
    deadline_.setRemainingTime(kModalWaitMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(10);
  }
  bool Handled() const { return handled_; }

 private:
  void Poll() {
    if (auto* w = qobject_cast<W*>(QApplication::activeModalWidget())) {
      timer_.stop();
      handled_ = true;
      action_(*w);
    } else if (deadline_.hasExpired()) {
      timer_.stop();
      for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* d = qobject_cast<QDialog*>(top); d != nullptr && d->isVisible()) d->done(0);
      }
    }
  }

  std::function<void(W&)> action_;
  QDeadlineTimer deadline_;
  QTimer timer_;
  bool handled_ = false;
};

inline void Click(QPushButton* button) {
  QTest::mouseClick(button, Qt::LeftButton);
}
inline void ClickOk(const QWidget& dialog) {
  Click(Child<QPushButton>(dialog, "V24_Adjust_okay"));
}
inline void ClickCancel(const QWidget& dialog) {
  Click(Child<QPushButton>(dialog, "V24_Adjust_cancel"));
}

inline void TypeInto(QComboBox* box, const QString& text) {
  box->lineEdit()->clear();
  QTest::keyClicks(box->lineEdit(), text);
}

inline QByteArray FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QByteArray BytesOf(const V24ParameterTag& r) {
  const V24ParameterBytes b = EncodeV24Parameter(r);
  return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

}  // namespace vestrel::comport::dialog_test
