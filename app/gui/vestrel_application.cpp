#include "app/gui/vestrel_application.h"

#include <QMessageBox>
#include <exception>

#include "app/gui/vestrelmain.h"

namespace vestrel::gui {

VestrelApplication::VestrelApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool VestrelApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ReportEscapedException(QString::fromLocal8Bit(e.what()));
  } catch (...) {
    ReportEscapedException(QString());  // an exception without a message
  }
  return false;
}

void VestrelApplication::ReportEscapedException(const QString& message) {
  if (reporting_) return;  // one box; a second exception meanwhile ends the same way
  reporting_ = true;
  if (form_) {
    form_->ShowMessage(message.toStdString(), "Error");
  } else {
    ShowExceptionBox(message);
  }
  reporting_ = false;
  if (form_ && form_->isVisible()) {
    form_->close();  // FormClose computes the exit code; deferred while an operation runs
  } else {
    exit(form_ ? form_->ExitStatus() : 1);
  }
}

void ShowExceptionBox(const QString& message) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), message, QMessageBox::Ok);
  if (qEnvironmentVariableIsSet(kAutoCloseBoxesVariable)) {
    qWarning("box: Error: %s", qUtf8Printable(message));
    return;
  }
  box.exec();
}

}  // namespace vestrel::gui
