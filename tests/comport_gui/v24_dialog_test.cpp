// The settings dialog on the offscreen platform: its form, its language, and what it does with
// the record and the settings file when it is shown modally and closed by OK, Cancel or the
// frame.
#include "comport/gui/v24_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <cstdint>
#include <string>
#include <vector>

#include "comport/v24_dialog_model.h"
#include "tests/comport_dialog/fake_v24_dialog_host.h"
#include "tests/comport_gui/dialog_test_support.h"

using namespace vestrel::comport;
using namespace vestrel::comport::dialog_test;

namespace {

struct Row {
  const char* Label;
  int LabelTop;
  const char* German;
  const char* English;
  const char* Box;
  int BoxTop;
  bool Editable;
  QStringList Entries;
  bool EnabledInForm;
};

const std::vector<Row>& Rows() {
  // clang-format off
  static const std::vector<Row> rows = {
      {"Label_Datenbit", 20, "&Datenbit", "Data Bits", "Datenbit_Box", 12, false, {"7", "8"},
       false},
      {"Label_Paritaet", 52, "Parit\u00e4t", "Parity", "Paritaet_Box", 44, false,
       {"keine", "ungerade", "gerade"}, false},
      {"Label_StopBits", 84, "StopBits", "Stop Bits", "StopBit_Box", 76, false,
       {"1", "1.5", "2"}, false},
      {"Label_Baudrate", 116, "Baudrate", "Baud Rate", "Baudrate_Box", 108, false,
       {"1200", "2400", "4800", "9600", "19200", "38400"}, false},
      {"Label_Handshake", 148, "Handshake", "Flow Control", "Handshake_Box", 140, false,
       {"kein Handshake", "RTS/CTS", "X_On/X_Off", "WTW X_On/X_Off"}, false},
      {"Label_RXTimeout", 180, "RX_Timeout /ms", "RX Timeout/ms", "RX_Timeout_Box", 172, true,
       {"0", "10", "100", "1000"}, false},
      {"Label_TXTimeout", 212, "TX_Timeout /ms", "TX Timeout/ms", "TX_Timeout_Box", 204, true,
       {"0", "10", "100", "1000"}, false},
      {"Label_NoNullChar", 244, "kein Nullzeichen", "No NullChar", "NullZeichenBox", 240, true,
       {"false", "true"}, true},
      {"Label_NoString", 276, "kein String", "No String", "NoStringBox", 272, true,
       {"false", "true"}, true},
      {"Label_Schnittstelle", 308, "Schnittstelle", "Com Port", "Schnittstellen_Box", 308, false,
       {"COM1", "COM2", "COM3", "COM4"}, true},
  };
  // clang-format on
  return rows;
}

}  // namespace

class V24DialogTest : public QObject {
  Q_OBJECT

 private:
  const std::vector<std::uint8_t> ports_ = {0, 1, 2};  // COM2 held by another program

  // A host with StreamOn and a settings file in a fresh directory.
  void UseSettingsFile(FakeV24DialogHost& host, const QTemporaryDir& dir) {
    host.Stream = true;
    host.File = dir.filePath("ComData.cfg").toStdString();
  }

 private slots:
  void formHasItsRowsWhereTheFormDescriptionPutsThem() {
    TV24_Dialog dialog(nullptr, 0, ports_.data(), static_cast<int>(ports_.size()));
    QCOMPARE(dialog.objectName(), QString("V24_Dialog"));
    QCOMPARE(dialog.windowTitle(), QString("Einstellungen"));
    QCOMPARE(dialog.size(), QSize(383, 417));
    QCOMPARE(dialog.minimumSize(), QSize(383, 417));
    QCOMPARE(dialog.maximumSize(), QSize(383, 417));
    QCOMPARE(Child<QWidget>(dialog, "V24AdjustPanel")->geometry(), QRect(0, 0, 383, 409));
    auto* inner = Child<QWidget>(dialog, "V24AdjustPanel1");
    QCOMPARE(inner->geometry(), QRect(32, 24, 321, 345));
    for (const Row& row : Rows()) {
      auto* label = Child<QLabel>(dialog, row.Label);
      QComboBox* box = Box(dialog, row.Box);
      QCOMPARE(label->parentWidget(), inner);
      QCOMPARE(box->parentWidget(), inner);
      QCOMPARE(label->pos(), QPoint(24, row.LabelTop));
      QCOMPARE(box->geometry(), QRect(136, row.BoxTop, 145, 21));
      QCOMPARE(label->text(), QString(row.German));
      QCOMPARE(box->isEditable(), row.Editable);
      QStringList entries;
      for (int i = 0; i < box->count(); ++i) entries << box->itemText(i);
      QCOMPARE(entries, row.Entries);
      QCOMPARE(box->isEnabled(), row.EnabledInForm);
    }
    QCOMPARE(Child<QLabel>(dialog, "Label_Datenbit")->buddy(), Box(dialog, "Datenbit_Box"));
    QCOMPARE(Box(dialog, "RX_Timeout_Box")->lineEdit()->maxLength(), 4);
    QCOMPARE(Box(dialog, "TX_Timeout_Box")->lineEdit()->maxLength(), 32767);  // Qt's no limit

    auto* okay = Child<QPushButton>(dialog, "V24_Adjust_okay");
    auto* cancel = Child<QPushButton>(dialog, "V24_Adjust_cancel");
    QCOMPARE(okay->geometry(), QRect(40, 376, 97, 25));
    QCOMPARE(cancel->geometry(), QRect(232, 376, 105, 25));
    QCOMPARE(okay->text(), QString("OK"));
    QCOMPARE(cancel->text(), QString("Abbrechen"));
  }

  void listBoxesHaveTheEntryCountsTheRecordModelUses() {
    TV24_Dialog dialog(nullptr, 0, nullptr, 0);
    QCOMPARE(Box(dialog, "Datenbit_Box")->count(), kDatenbitEntries);
    QCOMPARE(Box(dialog, "Paritaet_Box")->count(), kParitaetEntries);
    QCOMPARE(Box(dialog, "StopBit_Box")->count(), kStopBitEntries);
    QCOMPARE(Box(dialog, "Baudrate_Box")->count(), kBaudrateEntries);
    QCOMPARE(Box(dialog, "Handshake_Box")->count(), kHandshakeEntries);
    QCOMPARE(Box(dialog, "NullZeichenBox")->count(), kSwitchEntries);
    QCOMPARE(Box(dialog, "NoStringBox")->count(), kSwitchEntries);
  }

  void buttonsCarryTwoDifferentGlyphs() {
    TV24_Dialog dialog(nullptr, 0, nullptr, 0);
    for (const char* name : {"V24_Adjust_okay", "V24_Adjust_cancel"}) {
      const QIcon icon = Child<QPushButton>(dialog, name)->icon();
      const QImage normal = icon.pixmap(16, QIcon::Normal).toImage();
      const QImage disabled = icon.pixmap(16, QIcon::Disabled).toImage();
      QVERIFY(!normal.isNull());
      QVERIFY(normal != disabled);
    }
  }

  void englishTextsReplaceTheTwelveGermanOnes() {
    TV24_Dialog dialog(nullptr, 1, nullptr, 0);
    QCOMPARE(dialog.windowTitle(), QString("Settings"));
    for (const Row& row : Rows()) {
      QCOMPARE(Child<QLabel>(dialog, row.Label)->text(), QString(row.English));
      QStringList entries;
      QComboBox* box = Box(dialog, row.Box);
      for (int i = 0; i < box->count(); ++i) entries << box->itemText(i);
      QCOMPARE(entries, row.Entries);  // not translated
    }
    QCOMPARE(Child<QPushButton>(dialog, "V24_Adjust_okay")->text(), QString("OK"));
    QCOMPARE(Child<QPushButton>(dialog, "V24_Adjust_cancel")->text(), QString("Cancel"));
  }

  void languageFollowsTheComponentFromOneShowingToTheNext() {
    FakeV24DialogHost host;
    QStringList captions;
    for (const int language : {1, 0}) {
      host.SetLanguage(language);
      OnModal<TV24_Dialog> read([&](TV24_Dialog& d) {
        captions << d.windowTitle() << Child<QLabel>(d, "Label_Handshake")->text()
                 << Child<QPushButton>(d, "V24_Adjust_cancel")->text();
        ClickCancel(d);
      });
      QCOMPARE(OpenV24Dialog(host, nullptr), kModalCancel);
      QVERIFY(read.Handled());
    }
    QCOMPARE(captions, QStringList({"Settings", "Flow Control", "Cancel", "Einstellungen",
                                    "Handshake", "Abbrechen"}));
  }

  void defaultFlagsDisableEveryBoxAndOkStoresTheRecordUnchanged() {
    QTemporaryDir dir;
    FakeV24DialogHost host;
    host.PortsFoundByNextScan = ports_;
    UseSettingsFile(host, dir);
    bool all_disabled = false;
    OnModal<TV24_Dialog> okay([&](TV24_Dialog& d) {
      all_disabled = true;
      for (const Row& row : Rows()) all_disabled = all_disabled && !Box(d, row.Box)->isEnabled();
      QFile::remove(QString::fromStdString(host.File));  // so that OK must write it again
      ClickOk(d);
    });
    QCOMPARE(OpenV24Dialog(host, nullptr), kModalOk);
    QVERIFY(okay.Handled());
    QVERIFY(all_disabled);
    QCOMPARE(*host.V24().GetParameter(false, {}), DefaultV24Parameter());
    QCOMPARE(FileBytes(QString::fromStdString(host.File)), BytesOf(DefaultV24Parameter()));
  }

  void flagsEnableTheBoxesInTheirOrder() {
    TV24_Dialog dialog(nullptr, 0, nullptr, 0);
    V24ParameterTag record = DefaultV24Parameter();
    std::array<bool, kDlgFlagCount> flags = AllFlags(false);
    flags[static_cast<std::size_t>(DlgFlag::Schnittstelle)] = true;
    dialog.LoadV24Parameter(flags.data(), &record);
    QVERIFY(Box(dialog, "Schnittstellen_Box")->isEnabled());
    QVERIFY(!Box(dialog, "Paritaet_Box")->isEnabled());
    QVERIFY(!Box(dialog, "NullZeichenBox")->isEnabled());  // enabled in the form description
    dialog.LoadV24Parameter(AllFlags(true).data(), &record);
    for (const Row& row : Rows()) QVERIFY(Box(dialog, row.Box)->isEnabled());
  }

  void paritySelectionsStoreOddAndEven() {
    TV24_Dialog dialog(nullptr, 0, ports_.data(), static_cast<int>(ports_.size()));
    V24ParameterTag record = DefaultV24Parameter();
    dialog.LoadV24Parameter(AllFlags(true).data(), &record);
    QComboBox* parity = Box(dialog, "Paritaet_Box");
    parity->setCurrentIndex(parity->findText("ungerade"));
    ClickOk(dialog);
    QCOMPARE(dialog.result(), kModalOk);
    QCOMPARE(record.Paritaet, Odd);
    parity->setCurrentIndex(parity->findText("gerade"));
    ClickOk(dialog);
    QCOMPARE(record.Paritaet, Even);
  }

  void portBoxListsEveryExistingPortAndStoresTheChosenOne() {
    TV24_Dialog dialog(nullptr, 0, ports_.data(), static_cast<int>(ports_.size()));
    V24ParameterTag record = DefaultV24Parameter();
    record.Schnittstelle = Com__3;
    dialog.LoadV24Parameter(AllFlags(true).data(), &record);
    QComboBox* port = Box(dialog, "Schnittstellen_Box");
    QCOMPARE(port->count(), 3);
    QCOMPARE(port->itemText(1), QString("COM2"));  // listed although another program holds it
    QCOMPARE(port->currentText(), QString("COM3"));
    port->setCurrentIndex(1);
    ClickOk(dialog);
    QCOMPARE(record.Schnittstelle, Com__2);
  }

  void typedTimeoutsAreStored() {
    TV24_Dialog dialog(nullptr, 0, nullptr, 0);
    V24ParameterTag record = DefaultV24Parameter();
    dialog.LoadV24Parameter(AllFlags(true).data(), &record);
    TypeInto(Box(dialog, "RX_Timeout_Box"), "250");
    TypeInto(Box(dialog, "TX_Timeout_Box"), "123456");
    ClickOk(dialog);
    QCOMPARE(dialog.result(), kModalOk);
    QCOMPARE(record.RXTimeOut, 250);
    QCOMPARE(record.TXTimeOut, 123456);
  }

  void rxBoxTakesFourTypedCharactersButShowsALongerStoredValueWhole() {
    TV24_Dialog dialog(nullptr, 0, nullptr, 0);
    V24ParameterTag record = DefaultV24Parameter();
    dialog.LoadV24Parameter(AllFlags(true).data(), &record);
    TypeInto(Box(dialog, "RX_Timeout_Box"), "12345");
    QCOMPARE(Box(dialog, "RX_Timeout_Box")->currentText(), QString("1234"));

    record.RXTimeOut = 100000;
    dialog.LoadV24Parameter(AllFlags(false).data(), &record);
    QCOMPARE(Box(dialog, "RX_Timeout_Box")->currentText(), QString("100000"));
    ClickOk(dialog);
    QCOMPARE(record.RXTimeOut, 100000);
  }

  void switchBoxesTakeTheTypedEntry() {
    TV24_Dialog dialog(nullptr, 0, nullptr, 0);
    V24ParameterTag record = DefaultV24Parameter();
    dialog.LoadV24Parameter(AllFlags(true).data(), &record);
    TypeInto(Box(dialog, "NullZeichenBox"), "true");
    TypeInto(Box(dialog, "NoStringBox"), "vielleicht");  // no entry: the field stays
    record.KeinString = 1;
    ClickOk(dialog);
    QCOMPARE(record.KeinNullZeichen, std::uint8_t{1});
    QCOMPARE(record.KeinString, std::uint8_t{1});
  }

  void valuesWithoutAnEntryShowNothingAndSurviveOk() {
    TV24_Dialog dialog(nullptr, 0, ports_.data(), static_cast<int>(ports_.size()));
    V24ParameterTag record = DefaultV24Parameter();
    record.Baudrate = BaudTag{7};  // B115200
    record.Paritaet = Mark;
    record.Schnittstelle = Com_10;
    record.KeinNullZeichen = 2;
    const V24ParameterTag original = record;
    dialog.LoadV24Parameter(AllFlags(true).data(), &record);
    QCOMPARE(Box(dialog, "Baudrate_Box")->currentIndex(), -1);
    QCOMPARE(Box(dialog, "Paritaet_Box")->currentIndex(), -1);
    QCOMPARE(Box(dialog, "Schnittstellen_Box")->currentIndex(), -1);
    QCOMPARE(Box(dialog, "NullZeichenBox")->currentText(), QString());
    ClickOk(dialog);
    QCOMPARE(dialog.result(), kModalOk);
    QCOMPARE(record, original);
  }

  void noPortsLeaveAnEmptyPortBoxAndThePortUnchanged() {
    TV24_Dialog dialog(nullptr, 0, nullptr, 0);
    V24ParameterTag record = DefaultV24Parameter();
    record.Schnittstelle = Com__4;
    dialog.LoadV24Parameter(AllFlags(true).data(), &record);
    QCOMPARE(Box(dialog, "Schnittstellen_Box")->count(), 0);
    ClickOk(dialog);
    QCOMPARE(record.Schnittstelle, Com__4);
  }

  void cancelAndTheFrameLeaveRecordAndFileUntouched() {
    for (const bool by_frame : {false, true}) {
      QTemporaryDir dir;
      FakeV24DialogHost host;
      host.PortsFoundByNextScan = ports_;
      host.Flags.SetParitaet(true);
      UseSettingsFile(host, dir);
      V24ParameterTag stored = DefaultV24Parameter();
      stored.Handshake = RTS_CTS;
      TV24Parameter::WriteParameterFile(host.File, &stored);
      OnModal<TV24_Dialog> close([&](TV24_Dialog& d) {
        Box(d, "Paritaet_Box")->setCurrentIndex(2);
        if (by_frame) {
          d.close();
        } else {
          ClickCancel(d);
        }
      });
      QCOMPARE(OpenV24Dialog(host, nullptr), kModalCancel);
      QVERIFY(close.Handled());
      QCOMPARE(*host.V24().GetParameter(false, {}), stored);
      QCOMPARE(FileBytes(QString::fromStdString(host.File)), BytesOf(stored));
    }
  }

  void timeoutThatIsNoNumberShowsTheErrorBoxAndKeepsTheDialogOpen() {
    FakeV24DialogHost host;
    host.Flags.SetRXTimeOut(true);
    host.Flags.SetDatenBits(true);
    QString message;
    bool still_open = false;
    V24ParameterTag copy_after_error;
    OnModal<TV24_Dialog> edit([&](TV24_Dialog& d) {
      Box(d, "Datenbit_Box")->setCurrentIndex(0);
      TypeInto(Box(d, "RX_Timeout_Box"), "12a");
      OnModal<QMessageBox> error([&](QMessageBox& box) {
        message = box.text();
        box.accept();
      });
      ClickOk(d);  // returns when the error box is closed
      QVERIFY(error.Handled());
      still_open = d.isVisible();
      TypeInto(Box(d, "RX_Timeout_Box"), "25");
      ClickOk(d);
    });
    QCOMPARE(OpenV24Dialog(host, nullptr), kModalOk);
    QVERIFY(edit.Handled());
    QCOMPARE(message, QString("'12a' ist kein g\u00fcltiger Integerwert"));
    QVERIFY(still_open);
    QCOMPARE(host.V24().RXTimeOut(), 25);
    QCOMPARE(host.V24().DatenBits(), D_7);
  }

  void okReopensAnOpenPortEveryTime() {
    FakeV24DialogHost host;
    host.PortsFoundByNextScan = ports_;
    host.Open = true;
    host.Flags.SetSchnittstelle(true);
    for (const int position : {2, 2}) {
      OnModal<TV24_Dialog> okay([&](TV24_Dialog& d) {
        Box(d, "Schnittstellen_Box")->setCurrentIndex(position);
        ClickOk(d);
      });
      QCOMPARE(OpenV24Dialog(host, nullptr), kModalOk);
      QVERIFY(okay.Handled());
    }
    QCOMPARE(host.Reopened, (std::vector<ComTag>{Com__3, Com__3}));
  }
};

int main(int argc, char* argv[]) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  V24DialogTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "v24_dialog_test.moc"
