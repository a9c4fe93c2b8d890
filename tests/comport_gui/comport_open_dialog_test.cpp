// TComPort::OpenDialog on the real component, offscreen: OK closing and opening an open port
// again (over a pseudo-terminal), a port that cannot be opened again, the settings file with
// StreamOn, Cancel and the frame; and the example program comport-settings with --open.
#include <termios.h>

#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <string>

#include "comport/comport.h"
#include "comport/gui/v24_dialog.h"
#include "platform/serial_device.h"
#include "tests/comport_gui/dialog_test_support.h"
#include "tests/support/port_dir.h"
#include "tests/support/pty_pair.h"

using namespace vestrel;
using namespace vestrel::comport;
using namespace vestrel::comport::dialog_test;
using testing_support::PortDir;
using testing_support::PtyPair;

namespace {

constexpr int kCom3 = 2;
constexpr int kProcessWaitMs = 20000;

// Output and exit code of one run of comport-settings.
struct Run {
  int ExitCode = -1;
  QString Stderr;
  QString Stdout;
};

Run RunComportSettings(const QStringList& Arguments, const QProcessEnvironment& Environment =
                                                         QProcessEnvironment::systemEnvironment()) {
  QProcess process;
  process.setProcessEnvironment(Environment);
  process.start(QStringLiteral(COMPORT_SETTINGS_BINARY), Arguments);
  if (!process.waitForFinished(kProcessWaitMs)) {
    process.kill();
    process.waitForFinished(kProcessWaitMs);
    return {};
  }
  return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
          QString::fromUtf8(process.readAllStandardError()),
          QString::fromUtf8(process.readAllStandardOutput())};
}

}  // namespace

class OpenDialogTest : public QObject {
  Q_OBJECT

  std::unique_ptr<PortDir> dir_;
  std::unique_ptr<PtyPair> pty_;  // mapped as COM3
  int opens_ = 0;
  bool refuse_ = false;
  V24MessageQueue queue_;

  // A component whose opens of COM3 are counted and can be refused.
  void Attach(TComPort& port) {
    port.SetDeviceOpener([this](unsigned number) {
      ++opens_;
      if (refuse_) {
        platform::OpenResult busy;
        busy.status = platform::OpenStatus::Busy;
        return busy;
      }
      return platform::OpenSerialDevice(dir_->Entry(number).string());
    });
  }

  speed_t LineSpeed() const {
    termios tio{};
    if (::tcgetattr(pty_->slave(), &tio) != 0) return 0;
    return ::cfgetospeed(&tio);
  }

 private slots:
  void init() {
    dir_ = std::make_unique<PortDir>();
    pty_ = std::make_unique<PtyPair>();
    QVERIFY(pty_->ok());
    dir_->Link(3, pty_->SlavePath());
    opens_ = 0;
    refuse_ = false;
  }
  void cleanup() {
    pty_.reset();
    dir_.reset();
  }

  void okClosesAndOpensAnOpenPortWithTheStoredSettings() {
    TComPort port;
    Attach(port);
    port.GetV24Dialog()->SetBaudrate(true);
    QVERIFY(port.Open(&queue_, kCom3, false) != INVALID_HANDLE_VALUE);
    QCOMPARE(LineSpeed(), static_cast<speed_t>(B4800));

    QString listed_port;
    bool dialog_known = false;
    OnModal<TV24_Dialog> okay([&](TV24_Dialog& d) {
      listed_port = Box(d, "Schnittstellen_Box")->currentText();
      dialog_known = port.GetSettingsDialog() == &d;
      QComboBox* baud = Box(d, "Baudrate_Box");
      baud->setCurrentIndex(baud->findText("9600"));
      ClickOk(d);
    });
    QCOMPARE(port.OpenDialog(nullptr), kModalOk);
    QVERIFY(okay.Handled());
    QCOMPARE(listed_port, QString("COM3"));  // our own open port exists, although busy
    QVERIFY(dialog_known);
    QVERIFY(port.GetSettingsDialog() == nullptr);

    QCOMPARE(opens_, 2);
    QVERIFY(port.GetPortOpen());
    QVERIFY(port.GetNotifyWindow() == &queue_);
    QCOMPARE(port.GetV24Parameter()->Baudrate, B__9600);
    QCOMPARE(LineSpeed(), static_cast<speed_t>(B9600));

    OnModal<TV24_Dialog> unchanged([](TV24_Dialog& d) { ClickOk(d); });
    QCOMPARE(port.OpenDialog(nullptr), kModalOk);
    QCOMPARE(opens_, 3);  // on every OK
    QVERIFY(port.GetPortOpen());
  }

  void portThatCannotBeOpenedAgainIsShownInABoxUnderTheOwner() {
    TComPort port;
    Attach(port);
    QVERIFY(port.Open(&queue_, kCom3, false) != INVALID_HANDLE_VALUE);
    refuse_ = true;
    QWidget owner;

    QString text;
    QWidget* box_owner = nullptr;
    OnModal<TV24_Dialog> okay([](TV24_Dialog& d) { ClickOk(d); });
    OnModal<QMessageBox> failure([&](QMessageBox& box) {
      text = box.text();
      box_owner = box.parentWidget();
      box.accept();
    });
    QCOMPARE(port.OpenDialog(&owner), kModalOk);
    QVERIFY(failure.Handled());
    QCOMPARE(text, QString("COM3 konnte nicht ge\u00f6ffnet werden!"));
    QCOMPARE(box_owner, &owner);
    QVERIFY(!port.GetPortOpen());
    QVERIFY(!port.GetErrorNotifier());  // the box was lent for this showing only
  }

  void embeddersNotifierReportsTheFailureInstead() {
    TComPort port;
    Attach(port);
    std::vector<std::string> shown;
    port.SetErrorNotifier([&](const std::string& Text) { shown.push_back(Text); });
    port.SetLanguage(1);
    QVERIFY(port.Open(&queue_, kCom3, false) != INVALID_HANDLE_VALUE);
    refuse_ = true;
    OnModal<TV24_Dialog> okay([](TV24_Dialog& d) { ClickOk(d); });
    QCOMPARE(port.OpenDialog(nullptr), kModalOk);
    QCOMPARE(shown, (std::vector<std::string>{"Cannot open COM3! "}));
  }

  void okWithStreamOnWritesTheSettingsFile() {
    QTemporaryDir files;
    const QString file = files.filePath("ComData.cfg");
    TComPort port;
    port.SetStreamOn(true);
    port.SetDatei(file.toStdString());
    port.GetV24Dialog()->SetParitaet(true);
    OnModal<TV24_Dialog> okay([](TV24_Dialog& d) {
      Box(d, "Paritaet_Box")->setCurrentIndex(Box(d, "Paritaet_Box")->findText("gerade"));
      ClickOk(d);
    });
    QCOMPARE(port.OpenDialog(nullptr), kModalOk);
    V24ParameterTag expected = DefaultV24Parameter();
    expected.Paritaet = Even;
    QCOMPARE(FileBytes(file), BytesOf(expected));
    QCOMPARE(*port.GetV24Parameter(), expected);
  }

  void cancelAndTheFrameLeaveRecordFileAndPortUntouched() {
    for (const bool by_frame : {false, true}) {
      QTemporaryDir files;
      const QString file = files.filePath("ComData.cfg");
      V24ParameterTag stored = DefaultV24Parameter();
      stored.Handshake = RTS_CTS;
      stored.Schnittstelle = Com__3;
      QCOMPARE(TV24Parameter::WriteParameterFile(file.toStdString(), &stored), kParameterFileOk);
      TComPort port;
      Attach(port);
      port.SetStreamOn(true);
      port.SetDatei(file.toStdString());
      port.GetV24Dialog()->SetHandshake(true);
      opens_ = 0;
      QVERIFY(port.Open(&queue_, -1, false) != INVALID_HANDLE_VALUE);
      const HANDLE handle = port.GetPortHandle();

      OnModal<TV24_Dialog> close([&](TV24_Dialog& d) {
        Box(d, "Handshake_Box")->setCurrentIndex(3);
        if (by_frame) {
          d.close();
        } else {
          ClickCancel(d);
        }
      });
      QCOMPARE(port.OpenDialog(nullptr), kModalCancel);
      QVERIFY(close.Handled());
      QCOMPARE(*port.GetV24Parameter(), stored);
      QCOMPARE(FileBytes(file), BytesOf(stored));
      QCOMPARE(opens_, 1);
      QVERIFY(port.GetPortHandle() == handle);
    }
  }

  void dialogSpeaksTheComponentsLanguage() {
    TComPort port;
    QStringList captions;
    for (const int language : {1, 0}) {
      port.SetLanguage(language);
      OnModal<TV24_Dialog> read([&](TV24_Dialog& d) {
        captions << d.windowTitle() << Child<QLabel>(d, "Label_Schnittstelle")->text();
        ClickCancel(d);
      });
      QCOMPARE(port.OpenDialog(nullptr), kModalCancel);
    }
    QCOMPARE(captions, QStringList({"Settings", "Com Port", "Einstellungen", "Schnittstelle"}));
  }

  void exampleOpensThePortBeforeShowingTheDialog() {
    QTemporaryDir out;
    const QString picture = out.filePath("dialog.png");
    const QString file = out.filePath("ComData.cfg");
    const Run grabbed = RunComportSettings({"--open", "COM3", "--settings-file", file, "--enable",
                                            "all", "--language", "en", "--grab", picture});
    QCOMPARE(grabbed.ExitCode, 0);
    QVERIFY(!QImage(picture).isNull());
    // Only a successful Open writes the port it opened into the settings file.
    V24ParameterTag opened = DefaultV24Parameter();
    opened.Schnittstelle = Com__3;
    QCOMPARE(FileBytes(file), BytesOf(opened));
    QCOMPARE(platform::OpenSerialDevice(pty_->SlavePath()).status,
             platform::OpenStatus::Opened);  // released again at exit

    const Run missing = RunComportSettings({"--open", "COM9", "--grab", picture});
    QCOMPARE(missing.ExitCode, 1);
    QVERIFY2(missing.Stderr.contains(QString("COM9 konnte nicht ge\u00f6ffnet werden!")),
             qPrintable(missing.Stderr));

    QCOMPARE(RunComportSettings({"--open", "COM0"}).ExitCode, 2);
  }

  void exampleHelpNeedsNoDisplay() {
    QProcessEnvironment headless = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
      headless.remove(QString::fromLatin1(name));
    const Run help = RunComportSettings({"--help"}, headless);
    QCOMPARE(help.ExitCode, 0);
    QVERIFY2(help.Stdout.contains("--settings-file <PATH>"), qPrintable(help.Stdout));
  }
};

int main(int argc, char* argv[]) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  OpenDialogTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "comport_open_dialog_test.moc"
