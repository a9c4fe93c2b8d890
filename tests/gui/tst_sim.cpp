// The program against vestrel-sim over a pseudo-terminal: the window with its real serial link
// and port scan driven through a load, the command-line runs and their exit codes, and the
// screenshot of the window after a successful load.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <filesystem>

#include "tests/gui/gui_test_support.h"
#include "tests/support/step_outcome.h"

using namespace vestrel;
using namespace vestrel::gui;
using vestrel::test::BoxCloser;
using vestrel::test::Bytes;
using vestrel::test::PortDirectory;
using vestrel::test::Simulator;
using vestrel::test::TempDir;

namespace {

constexpr std::size_t kFlashSize = 0x10000;
const QStringList kSimArgs = {"--flash-size", "0x10000", "--erase-ms", "50", "--version", "2.7"};

Bytes Expected(const Bytes& data) {
  Bytes flash(kFlashSize, 0xFF);
  std::copy(data.begin(), data.end(), flash.begin());
  return flash;
}

}  // namespace

class SimTest : public QObject {
  Q_OBJECT

  std::unique_ptr<PortDirectory> ports_;
  TempDir files_;
  Bytes data_ = test::Pattern(6000, 3);  // two pages and a part of a third
  std::string hexFile_;

  QStringList ProgramEnvironment() const {
    return {"QT_QPA_PLATFORM=offscreen", "VESTREL_AUTO_CLOSE_BOXES=1",
            "VESTREL_PORT_DIR=" + QString::fromStdString(ports_->Path())};
  }

 private slots:
  void initTestCase() { hexFile_ = test::WriteHexFile(files_, "app.hex", data_); }
  void init() { ports_ = std::make_unique<PortDirectory>(); }
  void cleanup() { ports_.reset(); }

  void commandLineRunLoadsTheSimulatedFlashAndExitsWithZero() {
    Simulator sim(*ports_, 3, kSimArgs);
    QVERIFY(sim.Started());
    const auto result = test::RunProgram(
        VESTREL_BINARY, {"-f" + QString::fromStdString(hexFile_), "-c3", "-b7", "-a"},
        ProgramEnvironment(), 120000);
    QVERIFY2(!result.stdErr.contains("box:"), qPrintable(result.stdErr));
    QCOMPARE(result.exitCode, 0);
    QVERIFY(sim.StopAndReadFlash() == Expected(data_));
  }

  // A comN entry holding a remote port's URL is in the window's port list like any other.
  void commandLineRunLoadsThroughARemotePortOfThePortList() {
    // A small flash: the link waits out each request's time on the far line at 115200 baud.
    Simulator sim(
        *ports_, 9,
        {"--flash-size", "0x4000", "--erase-ms", "50", "--listen", "rfc2217://127.0.0.1:0"});
    QVERIFY(sim.Started());
    QFile entry(QString::fromStdString(ports_->Entry(5)));
    QVERIFY(entry.open(QIODevice::WriteOnly));
    entry.write((sim.FirstLine() + "\n").toUtf8());
    entry.close();
    const auto result = test::RunProgram(
        VESTREL_BINARY, {"-f" + QString::fromStdString(hexFile_), "-c5", "-b7", "-a"},
        ProgramEnvironment(), 120000);
    QVERIFY2(!result.stdErr.contains("box:"), qPrintable(result.stdErr));
    QCOMPARE(result.exitCode, 0);
    Bytes expected(0x4000, 0xFF);
    std::copy(data_.begin(), data_.end(), expected.begin());
    QVERIFY(sim.StopAndReadFlash() == expected);
  }

  // Regression: `vestrel --help` and `--version` opened the window. They answer without a
  // display: the window, had it been tried, would fail for want of one.
  void helpAndVersionAnswerOnTheTerminal() {
    const std::pair<QString, QString> cases[] = {{"--help", "Usage: vestrel [-fFILE]"},
                                                 {"--version", "vestrel " VESTREL_VERSION "\n"}};
    for (const auto& [option, answer] : cases) {
      QProcess program;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.remove("DISPLAY");
      env.remove("WAYLAND_DISPLAY");
      env.insert("QT_QPA_PLATFORM", "xcb");
      program.setProcessEnvironment(env);
      program.start(VESTREL_BINARY, {"-a", option});
      QVERIFY(program.waitForFinished(30000));
      QCOMPARE(program.exitStatus(), QProcess::NormalExit);
      QCOMPARE(program.exitCode(), 0);
      QVERIFY2(QString::fromLocal8Bit(program.readAllStandardOutput()).startsWith(answer),
               qPrintable(option));
    }
  }

  void allStepsWithoutAPortExitWithOneAfterTheirBoxes() {
    const auto result = test::RunProgram(VESTREL_BINARY, {"-a"}, ProgramEnvironment(), 60000);
    QCOMPARE(result.exitCode, 1);
    // The erase fails with its box, and the run stops there: nothing follows a failed step.
    QStringList boxes;
    for (const QString& line : result.stdErr.split('\n')) {
      if (line.startsWith("box: ")) boxes << line;
    }
    QCOMPARE(boxes, QStringList({"box: Error: Erase Flash Send Error"}));
  }

  // Regression: SIGTERM killed the window mid-load and left the port's exclusive flag set, so
  // every later program saw the port as held by another.
  void stopSignalClosesTheWindowAndReleasesThePort() {
    const QString log = QString::fromStdString(files_.File("sim.jsonl"));
    Simulator sim(*ports_, 3, kSimArgs + QStringList{"--pace-baud", "115200", "--log", log});
    QVERIFY(sim.Started());
    QProcess window;
    window.setEnvironment(QProcess::systemEnvironment() + ProgramEnvironment());
    window.start(VESTREL_BINARY, {"-f" + QString::fromStdString(hexFile_), "-c3", "-b7", "-a"});
    QVERIFY(window.waitForStarted());
    auto programming = [&log] {
      QFile file(log);
      return file.open(QIODevice::ReadOnly) && file.readAll().contains("\"name\":\"program\"");
    };
    QTRY_VERIFY_WITH_TIMEOUT(programming(), 20000);
    window.terminate();
    QVERIFY(window.waitForFinished(10000));
    QCOMPARE(window.exitStatus(), QProcess::NormalExit);
    QCOMPARE(window.exitCode(), 1);
    QCOMPARE(platform::OpenSerialDevice(ports_->Entry(3)).status, platform::OpenStatus::Opened);
  }

  void windowLoadsThroughTheSimulator() {
    Simulator sim(*ports_, 2, kSimArgs);
    QVERIFY(sim.Started());
    ports_->AddPty(5);
    TVestrelForm form({}, FormServices::Real());
    form.show();
    QCOMPARE(form.findChild<QComboBox*>("ComComboBox")->itemText(0), QStringLiteral("Com2"));
    QCOMPARE(form.findChild<QComboBox*>("ComComboBox")->itemText(1), QStringLiteral("Com5"));
    form.SelectBaudIndex(7);
    const QString shot = QStringLiteral(VESTREL_SCREENSHOT_PATH);
    QDir().mkpath(QFileInfo(shot).absolutePath());
    QVERIFY(form.grab().save(QString(shot).replace(".png", "-start.png")));

    BoxCloser closer;
    QString shownDirectory;
    closer.onDialog = [this, &shownDirectory](QWidget* dialog) {
      auto* files = qobject_cast<QFileDialog*>(dialog);
      if (files == nullptr) return;
      shownDirectory = files->directory().absolutePath();
      // As a user types the path into the file name field and presses Open.
      files->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(hexFile_));
      static_cast<QDialog*>(files)->accept();
    };
    form.SpeedButton(Button::Open)->click();
    QCOMPARE(shownDirectory, QDir::currentPath());
    QCOMPARE(form.findChild<QLabel*>("FileStaticText")->text(), QString::fromStdString(hexFile_));

    QSignalSpy infos(&form, &TVestrelForm::InfoTextShown);
    form.SpeedButton(Button::Connect)->click();
    QCOMPARE(infos.last().at(0).toString(), QStringLiteral("Connected..."));
    QVERIFY(vestrel::test::Ok(form.Core(), vestrel::app::Step::Connect));
    QCOMPARE(form.findChild<QLabel*>("VersionStaticText")->text(),
             QStringLiteral("BL Version: v02.07"));
    QVERIFY(!form.findChild<QComboBox*>("ComComboBox")->isEnabled());

    form.SpeedButton(Button::Erase)->click();
    QCOMPARE(infos.last().at(0).toString(), QStringLiteral("Erasing: Great Success"));
    infos.clear();
    form.SpeedButton(Button::Program)->click();
    QStringList texts;
    for (const auto& args : infos) texts << args.at(0).toString();
    texts.removeDuplicates();
    QCOMPARE(texts, QStringList({"Programming...", "Programm: Verifying", "Verifying...",
                                 "Verify: Success", "Programm: Verify OK", "Programm: Success"}));
    QCOMPARE(form.findChild<QLabel*>("ProzStaticText")->text(), QStringLiteral("100%"));
    QVERIFY2(closer.boxes.empty(), qPrintable(closer.Texts().join(" | ")));
    QCOMPARE(test::ButtonStates(form), QStringLiteral("OCEPVR"));

    // The picture of a successful load, for a person to look at.
    QVERIFY(form.grab().save(shot));

    form.SpeedButton(Button::Run)->click();
    QVERIFY(vestrel::test::Ok(form.Core(), vestrel::app::Step::Run));
    form.close();
    QCOMPARE(form.ExitStatus(), 0);
    QVERIFY(sim.StopAndReadFlash() == Expected(data_));
  }

  void missingPortShowsAPortErrorBox() {
    ports_->AddPty(4);
    TVestrelForm form({}, FormServices::Real());
    form.show();
    QCOMPARE(form.findChild<QComboBox*>("ComComboBox")->currentText(), QStringLiteral("Com4"));
    std::filesystem::remove(ports_->Entry(4));  // unplugged after the scan
    BoxCloser closer;
    QSignalSpy infos(&form, &TVestrelForm::InfoTextShown);
    form.SpeedButton(Button::Connect)->click();
    QCOMPARE(closer.boxes.size(), std::size_t{1});
    QCOMPARE(closer.boxes[0].caption, QStringLiteral("Port Error"));
    QCOMPARE(closer.boxes[0].icon, QMessageBox::Critical);
    QCOMPARE(closer.boxes[0].buttonCount, 1);
    QVERIFY(closer.boxes[0].hasOwner);
    QCOMPARE(infos.last().at(0).toString(), QStringLiteral("ERROR: Open COM4 is failed"));
    QVERIFY(!vestrel::test::Ok(form.Core(), vestrel::app::Step::Connect));
  }

  // Regression: a port held by another program was left out of the list, and its connect said
  // "No port is selected."
  void busyPortIsNamedAsHeld() {
    ports_->AddPty(4);
    const int holder = ::open(ports_->Entry(4).c_str(), O_RDWR | O_NOCTTY);
    QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);
    TVestrelForm form({"-c4", "-b7", "-e"}, FormServices::Real());
    BoxCloser closer;
    form.show();
    QTRY_COMPARE(closer.boxes.size(), std::size_t{1});
    ::close(holder);
    QCOMPARE(form.findChild<QComboBox*>("ComComboBox")->count(), 0);
    QVERIFY2(closer.boxes[0].text.contains("is held by another program."),
             qPrintable(closer.boxes[0].text));
  }
};

VESTREL_GUI_TEST_MAIN(SimTest)
#include "tst_sim.moc"
