// The port settings dialog TV24_Dialog (form V24_Dialog): ten rows of label and box for the line
// parameters of a record, and the buttons OK and Abbrechen ("Cancel" in English). What the boxes
// show and how OK writes the record is decided in comport/v24_dialog_model.h; this class only
// displays and collects.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <memory>
#include <span>

#include "comport/comport.h"
#include "comport/v24_dialog_model.h"
#include "comport/v24_parameter.h"

namespace Ui {
class V24_Dialog;
}

namespace vestrel::comport {

class TV24_Dialog : public QDialog {
  Q_OBJECT

 public:
  // Owner becomes the dialog's parent. PortTable holds PortCount zero-based indexes of the ports
  // that exist (see PortTableOf for counts out of range); the table must outlive the dialog.
  // Language 0 keeps the German texts, any other value switches them to English.
  TV24_Dialog(QWidget* Owner, int Language, const std::uint8_t* PortTable, int PortCount);
  ~TV24_Dialog() override;

  // Enables the boxes by the ten Flags (TDlgParameter order) and fills them from Record, which
  // the OK button then writes. Does not show the dialog.
  void LoadV24Parameter(const bool* Flags, V24ParameterTag* Record);

  // LoadV24Parameter, then shows the dialog modally: kModalOk or kModalCancel.
  int ShowV24Parameter(const bool* Flags, V24ParameterTag* Record);

  // What the boxes show now.
  V24DialogInput CurrentInput() const;

 public slots:
  // Writes the boxes into the record; closes with kModalOk, or shows the conversion error box
  // and stays open when a timeout text is not a whole number.
  void V24_Adjust_okayClick();
  void V24_Adjust_cancelClick();

  // Closing by the frame or by Escape is Cancel.
  void reject() override;

 private:
  void ApplyEnglishTexts();
  void FillPortBox(int Selected);
  void ShowConversionError(const QString& Text);

  std::unique_ptr<Ui::V24_Dialog> ui_;
  V24ParameterTag* EditRecord = nullptr;
  std::span<const std::uint8_t> PortTable;
  int Language;
};

// One showing of the settings dialog for a port component (see RunV24Dialog): the dialog is
// created under Owner, shown modally and destroyed again. Gives the modal result.
// TComPort::OpenDialog is this for the component itself.
int OpenV24Dialog(TV24DialogHost& Host, QWidget* Owner);

// Shows a component's message (Open's failure message) in a modal box under Owner with the
// error icon and a single OK button.
TComPort::ErrorNotifier MessageBoxNotifier(QWidget* Owner);

}  // namespace vestrel::comport
