// The GUI application of `vestrel`: an exception that escapes an event handler is shown in a
// message box and ends the process with the exit code the window computes on closing, instead
// of tearing the process down.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QString>

namespace vestrel::gui {

class TVestrelForm;

class VestrelApplication : public QApplication {
 public:
  VestrelApplication(int& argc, char** argv);

  // The main window, which shows the box and computes the exit code.
  void SetForm(TVestrelForm* form) { form_ = form; }
  bool notify(QObject* receiver, QEvent* event) override;

  // Shows `message` and ends the process: the window closes (after the operation that runs, if
  // any), which computes the exit code, and the message loop ends.
  void ReportEscapedException(const QString& message);

 private:
  QPointer<TVestrelForm> form_;
  bool reporting_ = false;
};

// Shows a box for an exception that escaped before or after the window existed.
void ShowExceptionBox(const QString& message);

}  // namespace vestrel::gui
