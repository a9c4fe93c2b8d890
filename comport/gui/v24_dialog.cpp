#include "comport/gui/v24_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <algorithm>
#include <array>
#include <cstddef>
#include <string>

#include "comport/comport.h"
#include "comport/comport_dialog_host.h"
#include "comport/gui/v24_dialog_glyphs.h"
#include "ui_v24_dialog.h"

namespace vestrel::comport {
namespace {

// Characters the user may type into the RX timeout box.
constexpr int kRxTimeoutMaxLength = 4;

QString PortDisplayName(std::uint8_t PortIndex) {
  return QString::fromStdString(V24PortName(unsigned{PortIndex} + 1U, true));
}

// Position of the entry that an editable box's text names (kNoSelection for any other text):
// what the user typed counts, not the entry last picked from the list.
int TypedPosition(const QComboBox& Box) {
  return Box.findText(Box.currentText().trimmed(), Qt::MatchFixedString);
}

}  // namespace

TV24_Dialog::TV24_Dialog(QWidget* Owner, int Language, const std::uint8_t* PortTable, int PortCount)
    : QDialog(Owner),
      ui_(std::make_unique<Ui::V24_Dialog>()),
      PortTable(PortTableOf(PortTable, PortCount)),
      Language(Language) {
  ui_->setupUi(this);
  setFixedSize(size());
  setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
  ui_->RX_Timeout_Box->lineEdit()->setMaxLength(kRxTimeoutMaxLength);
  ui_->V24_Adjust_okay->setIcon(TwoGlyphIcon(ButtonGlyph::Okay));
  ui_->V24_Adjust_cancel->setIcon(TwoGlyphIcon(ButtonGlyph::Cancel));
  connect(ui_->V24_Adjust_okay, &QPushButton::clicked, this, &TV24_Dialog::V24_Adjust_okayClick);
  connect(ui_->V24_Adjust_cancel, &QPushButton::clicked, this,
          &TV24_Dialog::V24_Adjust_cancelClick);
  if (Language != 0) ApplyEnglishTexts();
}

TV24_Dialog::~TV24_Dialog() = default;

void TV24_Dialog::ApplyEnglishTexts() {
  setWindowTitle(QStringLiteral("Settings"));
  ui_->Label_Datenbit->setText(QStringLiteral("Data Bits"));
  ui_->Label_Paritaet->setText(QStringLiteral("Parity"));
  ui_->Label_StopBits->setText(QStringLiteral("Stop Bits"));
  ui_->Label_Baudrate->setText(QStringLiteral("Baud Rate"));
  ui_->Label_Handshake->setText(QStringLiteral("Flow Control"));
  ui_->Label_RXTimeout->setText(QStringLiteral("RX Timeout/ms"));
  ui_->Label_TXTimeout->setText(QStringLiteral("TX Timeout/ms"));
  ui_->Label_NoNullChar->setText(QStringLiteral("No NullChar"));
  ui_->Label_NoString->setText(QStringLiteral("No String"));
  ui_->Label_Schnittstelle->setText(QStringLiteral("Com Port"));
  ui_->V24_Adjust_cancel->setText(QStringLiteral("Cancel"));
}

void TV24_Dialog::LoadV24Parameter(const bool* Flags, V24ParameterTag* Record) {
  // The boxes in the order of the flags.
  const std::array<QComboBox*, kDlgFlagCount> boxes = {
      ui_->Datenbit_Box,   ui_->Schnittstellen_Box, ui_->Paritaet_Box,   ui_->StopBit_Box,
      ui_->Baudrate_Box,   ui_->Handshake_Box,      ui_->RX_Timeout_Box, ui_->TX_Timeout_Box,
      ui_->NullZeichenBox, ui_->NoStringBox};
  for (std::size_t i = 0; i < boxes.size(); ++i) boxes[i]->setEnabled(Flags[i]);

  EditRecord = Record;
  const V24DialogInput input = V24DialogInputOf(*Record, PortTable);
  const V24BoxPositions& p = input.Positions;
  ui_->Datenbit_Box->setCurrentIndex(p.DatenBits);
  ui_->Paritaet_Box->setCurrentIndex(p.Paritaet);
  ui_->StopBit_Box->setCurrentIndex(p.StopBits);
  ui_->Baudrate_Box->setCurrentIndex(p.Baudrate);
  ui_->Handshake_Box->setCurrentIndex(p.Handshake);
  // A longer stored timeout (from a settings file, say) is shown whole, not cut to four
  // characters, so that OK cannot store a different number than the one the user saw.
  const QString rx_text = QString::fromStdString(input.RXTimeOutText);
  ui_->RX_Timeout_Box->lineEdit()->setMaxLength(
      std::max(kRxTimeoutMaxLength, static_cast<int>(rx_text.size())));
  ui_->RX_Timeout_Box->setEditText(rx_text);
  ui_->TX_Timeout_Box->setEditText(QString::fromStdString(input.TXTimeOutText));
  ui_->NullZeichenBox->setCurrentIndex(p.KeinNullZeichen);
  ui_->NoStringBox->setCurrentIndex(p.KeinString);
  FillPortBox(p.Schnittstelle);
}

void TV24_Dialog::FillPortBox(int Selected) {
  ui_->Schnittstellen_Box->clear();
  for (const std::uint8_t port : PortTable) ui_->Schnittstellen_Box->addItem(PortDisplayName(port));
  ui_->Schnittstellen_Box->setCurrentIndex(Selected);
}

int TV24_Dialog::ShowV24Parameter(const bool* Flags, V24ParameterTag* Record) {
  LoadV24Parameter(Flags, Record);
  return exec();
}

V24DialogInput TV24_Dialog::CurrentInput() const {
  V24DialogInput input;
  V24BoxPositions& p = input.Positions;
  p.DatenBits = ui_->Datenbit_Box->currentIndex();
  p.Paritaet = ui_->Paritaet_Box->currentIndex();
  p.StopBits = ui_->StopBit_Box->currentIndex();
  p.Baudrate = ui_->Baudrate_Box->currentIndex();
  p.Handshake = ui_->Handshake_Box->currentIndex();
  p.Schnittstelle = ui_->Schnittstellen_Box->currentIndex();
  p.KeinNullZeichen = TypedPosition(*ui_->NullZeichenBox);
  p.KeinString = TypedPosition(*ui_->NoStringBox);
  input.RXTimeOutText = ui_->RX_Timeout_Box->currentText().toStdString();
  input.TXTimeOutText = ui_->TX_Timeout_Box->currentText().toStdString();
  return input;
}

void TV24_Dialog::V24_Adjust_okayClick() {
  if (EditRecord != nullptr) {
    const V24StoreResult stored = StoreV24DialogInput(CurrentInput(), PortTable, *EditRecord);
    if (!stored.Stored) {
      ShowConversionError(QString::fromStdString(NotAnIntegerMessage(stored.NotAnInteger)));
      return;
    }
  }
  done(kModalOk);
}

void TV24_Dialog::V24_Adjust_cancelClick() {
  done(kModalCancel);
}

void TV24_Dialog::reject() {
  done(kModalCancel);
}

void TV24_Dialog::ShowConversionError(const QString& Text) {
  QMessageBox::critical(this, QApplication::applicationDisplayName(), Text);
}

namespace {

// Creates the dialog under Owner, shows it modally for Record and destroys it again. A non-null
// Current refers to the dialog while it is shown.
int ShowModalV24Dialog(QWidget* Owner, TV24_Dialog** Current, int Language,
                       std::span<const std::uint8_t> Ports, const bool* Flags,
                       V24ParameterTag* Record) {
  TV24_Dialog dialog(Owner, Language, Ports.data(), static_cast<int>(Ports.size()));
  if (Current != nullptr) *Current = &dialog;
  const int result = dialog.ShowV24Parameter(Flags, Record);
  if (Current != nullptr) *Current = nullptr;
  return result;
}

}  // namespace

int OpenV24Dialog(TV24DialogHost& Host, QWidget* Owner) {
  return RunV24Dialog(Host, [Owner](int Language, std::span<const std::uint8_t> Ports,
                                    const bool* Flags, V24ParameterTag* Record) {
    return ShowModalV24Dialog(Owner, nullptr, Language, Ports, Flags, Record);
  });
}

TComPort::ErrorNotifier MessageBoxNotifier(QWidget* Owner) {
  return [Owner](const std::string& Text) {
    QMessageBox::critical(Owner, QApplication::applicationDisplayName(),
                          QString::fromStdString(Text));
  };
}

int TComPort::OpenDialog(TDialogOwner Owner) {
  // The port is opened again after OK with ShowError; a component embedded without a notifier
  // would fail silently there, so the failure then shows in a box under Owner.
  const bool lend_notifier = !Notify;
  if (lend_notifier) Notify = MessageBoxNotifier(Owner);
  TComPortDialogHost host(*this);
  const int result =
      RunV24Dialog(host, [this, Owner](int Language, std::span<const std::uint8_t> Ports,
                                       const bool* Flags, V24ParameterTag* Record) {
        return ShowModalV24Dialog(Owner, &SettingsDialog, Language, Ports, Flags, Record);
      });
  if (lend_notifier) Notify = nullptr;
  return result;
}

}  // namespace vestrel::comport
