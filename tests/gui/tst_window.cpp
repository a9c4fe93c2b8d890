// The real window driven through loads against a fake bootloader: what a user sees in the
// information line, the percent text, the buttons, the lists and the message boxes, the
// automatic run and its exit code, and closing the window while an operation runs.
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "protocol/bootloader_commands.h"
#include "tests/gui/gui_test_support.h"
#include "tests/support/step_outcome.h"
#include "tests/support/window_run.h"

using namespace vestrel;
using namespace vestrel::gui;
using vestrel::test::BoxCloser;
using vestrel::test::Bytes;
using vestrel::test::FakeBootloader;
using vestrel::test::PortDirectory;
using vestrel::test::TempDir;

namespace {

constexpr std::uint32_t kFlashSize = 4096;  // eight blocks: percent steps of 12, 25, 37, ...

std::uint16_t CommandOf(const Bytes& request) {
  return static_cast<std::uint16_t>(request[0] | request[1] << 8);
}

QStringList Texts(const QSignalSpy& spy) {
  QStringList texts;
  for (const auto& args : spy) texts << args.at(0).toString();
  return texts;
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

  std::unique_ptr<PortDirectory> ports_;
  std::unique_ptr<FakeBootloader> fake_;
  TempDir files_;
  Bytes data_ = test::Pattern(kFlashSize, 9);
  std::string hexFile_;

  std::unique_ptr<TVestrelForm> MakeForm(std::vector<std::string> args = {}) {
    return std::make_unique<TVestrelForm>(std::move(args), test::FakeServices(*fake_));
  }

  // Picks the HEX file in the file dialog, as a user would.
  void OpenFile(TVestrelForm& form, BoxCloser& closer, const std::string& path) {
    closer.onDialog = [&path](QWidget* dialog) {
      if (auto* files = qobject_cast<QFileDialog*>(dialog)) {
        files->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(path));
        static_cast<QDialog*>(files)->accept();
      }
    };
    form.SpeedButton(Button::Open)->click();
  }

  static QString ListStates(const TVestrelForm& form) {
    return QString("%1%2")
        .arg(form.findChild<QComboBox*>("ComComboBox")->isEnabled() ? "P" : "-")
        .arg(form.findChild<QComboBox*>("BaudComboBox")->isEnabled() ? "B" : "-");
  }

 private slots:
  void initTestCase() { hexFile_ = test::WriteHexFile(files_, "app.hex", data_); }
  void init() {
    ports_ = std::make_unique<PortDirectory>();
    ports_->AddPty(1);
    ports_->AddPty(3);
    fake_ = std::make_unique<FakeBootloader>(kFlashSize);
  }
  void cleanup() {
    fake_.reset();
    ports_.reset();
  }

  void programRunShowsItsTextsInOrder() {
    auto form = MakeForm();
    form->show();
    BoxCloser closer;
    OpenFile(*form, closer, hexFile_);
    QCOMPARE(form->findChild<QLabel*>("FileStaticText")->text(), QString::fromStdString(hexFile_));
    form->SpeedButton(Button::Connect)->click();
    QCOMPARE(form->findChild<QLabel*>("VersionStaticText")->text(),
             QStringLiteral("BL Version: v01.03"));

    QSignalSpy infos(form.get(), &TVestrelForm::InfoTextShown);
    QSignalSpy percents(form.get(), &TVestrelForm::PercentTextShown);
    form->SpeedButton(Button::Program)->click();
    QCOMPARE(Texts(infos),
             QStringList({"Programming...", "Programm: Verifying", "Verifying...",
                          "Verify: Success", "Programm: Verify OK", "Programm: Success"}));
    const QStringList pass = {"12%", "25%", "37%", "50%", "62%", "75%", "87%", "100%"};
    QCOMPARE(Texts(percents), pass + pass);  // the writing, then the verify pass
    QCOMPARE(form->findChild<QLabel*>("ProzStaticText")->text(), QStringLiteral("100%"));
    QCOMPARE(form->findChild<QProgressBar*>("PICProgressBar")->value(), 0);
    QVERIFY(closer.boxes.empty());
    QVERIFY(fake_->flash == data_);
  }

  // The same run as the Win32 window's test under Wine (tests/win32/window_test.cpp).
  void showsTheSameRunAsTheWin32Window() {
    namespace run = test::window_run;
    fake_ = std::make_unique<FakeBootloader>(run::kFlashSize);
    ports_->AddPty(4);  // with COM1 and COM3 from init()
    const std::string hexFile = test::WriteHexFile(files_, "run.hex", run::Data());
    auto form = MakeForm({"-f" + hexFile});
    form->show();
    BoxCloser closer;
    std::size_t boxesSeen = 0;
    auto snapshot = [&](const std::string& step) {
      run::Shown shown;
      shown.caption = form->windowTitle().toStdString();
      for (int i = 0; i < kButtonCount; ++i) {
        shown.buttons[static_cast<std::size_t>(i)] =
            form->SpeedButton(static_cast<Button>(i))->isEnabled();
      }
      auto text = [&](const char* name) {
        return form->findChild<QLabel*>(name)->text().toStdString();
      };
      auto list = [&](const char* name) {
        auto* box = form->findChild<QComboBox*>(name);
        run::ShownList shownList{box->isEnabled(), {}, box->currentText().toStdString()};
        for (int i = 0; i < box->count(); ++i)
          shownList.entries.push_back(box->itemText(i).toStdString());
        return shownList;
      };
      shown.fileGroup = form->findChild<QGroupBox*>("FileGroupBox")->title().toStdString();
      shown.fileText = text("FileStaticText");
      shown.info = text("InfoStaticText");
      shown.percent = text("ProzStaticText");
      shown.progress = form->findChild<QProgressBar*>("PICProgressBar")->value();
      shown.ports = list("ComComboBox");
      shown.bauds = list("BaudComboBox");
      shown.version = text("VersionStaticText");
      for (int i = 0; i < 4; ++i)
        shown.panels[static_cast<std::size_t>(i)] = form->StatusPanel(i)->text().toStdString();
      for (; boxesSeen < closer.boxes.size(); ++boxesSeen) {
        const test::ShownBox& box = closer.boxes[boxesSeen];
        shown.boxes.push_back((box.caption + ": " + box.text).toStdString());
      }
      return run::Snapshot(step, shown, hexFile);
    };
    form->FormActivate();
    std::string seen = snapshot("Activation, -f");
    for (const run::Step& step : run::Steps()) {
      if (step.prepare) step.prepare(*fake_);
      QVERIFY2(form->SpeedButton(step.button)->isEnabled(), step.name);
      form->SpeedButton(step.button)->click();
      seen += snapshot(step.name);
    }
    QCOMPARE(QString::fromStdString(seen),
             QString::fromStdString(run::Expected(VESTREL_WINDOW_RUN_FILE)));
  }

  void buttonAndListStatesFollowEachOperation() {
    auto form = MakeForm();
    form->show();
    QCOMPARE(test::ButtonStates(*form), QStringLiteral("OC----"));
    QCOMPARE(ListStates(*form), QStringLiteral("PB"));

    BoxCloser closer;
    OpenFile(*form, closer, hexFile_);
    QCOMPARE(test::ButtonStates(*form), QStringLiteral("OC----"));

    form->SpeedButton(Button::Connect)->click();
    QCOMPARE(test::ButtonStates(*form), QStringLiteral("OCEPVR"));
    QCOMPARE(ListStates(*form), QStringLiteral("--"));

    // What the window shows while each request is on its way.
    QMap<std::uint16_t, QSet<QString>> during;
    fake_->onRequest = [&](const Bytes& request) {
      during[CommandOf(request)] << test::ButtonStates(*form) + " " + ListStates(*form);
    };
    form->SpeedButton(Button::Erase)->click();
    QCOMPARE(during.value(protocol::kCmdEraseFlash), QSet<QString>{"------ --"});
    QCOMPARE(test::ButtonStates(*form), QStringLiteral("OCEPVR"));

    during.clear();
    form->SpeedButton(Button::Program)->click();
    QCOMPARE(during.value(protocol::kCmdProgramBlock), QSet<QString>{"------ --"});
    QCOMPARE(during.value(protocol::kCmdReadMemory), QSet<QString>{"------ --"});
    // The verify pass has enabled the buttons again when the closing report goes out.
    QCOMPARE(during.value(protocol::kCmdFinishProgram), QSet<QString>{"OCEPVR --"});
    QCOMPARE(test::ButtonStates(*form), QStringLiteral("OCEPVR"));

    during.clear();
    form->SpeedButton(Button::Verify)->click();
    QCOMPARE(during.value(protocol::kCmdReadMemory), QSet<QString>{"------ --"});
    QCOMPARE(test::ButtonStates(*form), QStringLiteral("OCEPVR"));

    during.clear();
    form->SpeedButton(Button::Run)->click();
    QCOMPARE(during.value(protocol::kCmdStartApplication), QSet<QString>{"OCEPVR --"});
    QCOMPARE(test::ButtonStates(*form), QStringLiteral("OCEPVR"));  // Run changes no button
    QVERIFY(vestrel::test::Ok(form->Core(), vestrel::app::Step::Run));
    QVERIFY(closer.boxes.empty());
  }

  void failedProgramLeavesEveryButtonDisabled() {
    auto form = MakeForm();
    form->show();
    BoxCloser closer;
    OpenFile(*form, closer, hexFile_);
    form->SpeedButton(Button::Connect)->click();
    fake_->sendFailures[protocol::kCmdProgramBlock] = 1;
    QSignalSpy infos(form.get(), &TVestrelForm::InfoTextShown);
    form->SpeedButton(Button::Program)->click();
    QCOMPARE(closer.Texts(), QStringList{"Error: Send Program Error Addr: 0x9D000000"});
    QCOMPARE(Texts(infos).last(), QStringLiteral("Programm: Failed"));
    QCOMPARE(test::ButtonStates(*form), QStringLiteral("------"));
  }

  void errorsShowModalBoxesOwnedByTheWindow() {
    auto form = MakeForm();
    form->show();
    BoxCloser closer;
    QSignalSpy infos(form.get(), &TVestrelForm::InfoTextShown);
    form->SpeedButton(Button::Open)->setEnabled(true);
    OpenFile(*form, closer, files_.Write("bad.hex", ":10000000FF\r\n"));
    // Run is reachable only by the core here: the button is disabled before a connect.
    form->RunSpeedButtonClick();
    QCOMPARE(closer.boxes.size(), std::size_t{2});
    QCOMPARE(closer.boxes[0].text.section('\n', 0, 0), QStringLiteral("HEX File Error"));
    QCOMPARE(closer.boxes[1].text, QStringLiteral("Run Program Error"));
    for (const test::ShownBox& box : closer.boxes) {
      QCOMPARE(box.caption, QStringLiteral("Error"));
      QCOMPARE(box.icon, QMessageBox::Critical);
      QCOMPARE(box.buttonCount, 1);
      QVERIFY(box.hasOwner);
    }
    QCOMPARE(Texts(infos), QStringList{"Run Program: Error"});
    QVERIFY(form->findChild<QLabel*>("FileStaticText")->text().isEmpty());
    QVERIFY(!vestrel::test::Ok(form->Core(), vestrel::app::Step::File));
  }

  void failedSyncShowsNoBoxAndClosesThePort() {
    auto form = MakeForm();
    form->show();
    fake_->syncAnswers = false;
    BoxCloser closer;
    QSignalSpy infos(form.get(), &TVestrelForm::InfoTextShown);
    form->SpeedButton(Button::Connect)->click();
    QCOMPARE(Texts(infos), QStringList({"Baud Sync...", "ERROR:  COMM Sync"}));
    QVERIFY(closer.boxes.empty());
    QVERIFY(!fake_->IsOpen());
    QCOMPARE(ListStates(*form), QStringLiteral("PB"));
  }

  void cancelledFileDialogChangesNothing() {
    auto form = MakeForm();
    form->show();
    BoxCloser closer;
    QString directory;
    closer.onDialog = [&directory](QWidget* dialog) {
      if (auto* files = qobject_cast<QFileDialog*>(dialog)) {
        directory = files->directory().absolutePath();
        files->reject();
      }
    };
    form->SpeedButton(Button::Open)->click();
    QCOMPARE(directory, QDir::currentPath());  // the dialog starts in the current directory
    QVERIFY(form->Core().Result().file.empty());
    QVERIFY(form->findChild<QLabel*>("FileStaticText")->text().isEmpty());
    QVERIFY(closer.boxes.empty());
  }

  void commandLineRunLoadsAndExitsWithZero() {
    auto form = MakeForm({"-f" + hexFile_, "-c3", "-b7", "-a"});
    BoxCloser closer;
    form->show();
    QTRY_VERIFY_WITH_TIMEOUT(!form->isVisible(), 20000);
    QCOMPARE(form->ExitStatus(), 0);
    QVERIFY2(closer.boxes.empty(), qPrintable(closer.Texts().join(" | ")));
    QCOMPARE(form->findChild<QComboBox*>("ComComboBox")->currentText(), QStringLiteral("Com3"));
    QCOMPARE(form->findChild<QComboBox*>("BaudComboBox")->currentText(), QStringLiteral("115200"));
    QCOMPARE(fake_->lastPort->displayName, std::string("COM3"));
    QCOMPARE(fake_->lastPort->devicePath, std::string("/dev/fake-com3"));
    QCOMPARE(*fake_->lastBaud, 115200u);
    QVERIFY(fake_->flash == data_);
    QCOMPARE(fake_->started, 1);
    // Every step was asked for, so every button stays disabled.
    QCOMPARE(test::ButtonStates(*form), QStringLiteral("------"));
  }

  void allAloneStopsAtTheFirstFailedStepAndExitsWithOne() {
    auto form = MakeForm({"-a"});
    BoxCloser closer;
    form->show();
    QTRY_VERIFY_WITH_TIMEOUT(!form->isVisible(), 20000);
    QCOMPARE(closer.Texts(), QStringList({"Error: Erase Flash Send Error"}));
    QCOMPARE(form->ExitStatus(), 1);
  }

  void closingDuringAnOperationClosesAfterIt() {
    auto form = MakeForm();
    form->show();
    BoxCloser closer;
    OpenFile(*form, closer, hexFile_);
    form->SpeedButton(Button::Connect)->click();
    bool closedEarly = false;
    fake_->onRequest = [&](const Bytes& request) {
      if (CommandOf(request) != protocol::kCmdProgramBlock) return;
      form->close();  // the user closes the window in the middle of programming
      closedEarly = closedEarly || !form->isVisible();
    };
    form->SpeedButton(Button::Program)->click();
    QVERIFY(!closedEarly);
    QVERIFY(!form->isVisible());  // closed once Program had returned
    QVERIFY(fake_->flash == data_);
    QCOMPARE(form->ExitStatus(), 0);
    QVERIFY(fake_->IsOpen());
    form.reset();
    QVERIFY(!fake_->IsOpen());  // the destructor closes the port
  }

  void remembersItsFileAndPortAndOpensADroppedFile() {
    const std::string settings = files_.File("config/window.conf");
    auto services = [&] {
      FormServices real = test::FakeServices(*fake_);
      real.settingsPath = settings;
      return real;
    };
    auto fileText = [](const TVestrelForm& form) {
      return form.findChild<QLabel*>("FileStaticText")->text().toStdString();
    };
    {
      TVestrelForm form({}, services());
      form.show();
      form.FormActivate();
      QMimeData dropped;
      dropped.setUrls({QUrl::fromLocalFile(QString::fromStdString(hexFile_))});
      QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton,
                            Qt::NoModifier);
      QCoreApplication::sendEvent(&form, &enter);
      QVERIFY(enter.isAccepted());
      QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
      QCoreApplication::sendEvent(&form, &drop);
      QCOMPARE(fileText(form), hexFile_);
      form.SelectPortIndex(1);
      form.close();
    }
    TVestrelForm again({}, services());
    again.show();
    again.FormActivate();
    QCOMPARE(fileText(again), hexFile_);
    QCOMPARE(again.findChild<QComboBox*>("ComComboBox")->currentText(), QStringLiteral("Com3"));
    QVERIFY(vestrel::test::Ok(again.Core(), vestrel::app::Step::File));
  }

  void userCloseComputesTheExitCode() {
    auto form = MakeForm({"-e"});  // asked for, never achieved: exit code 1
    BoxCloser closer;
    form->show();
    QTRY_COMPARE_WITH_TIMEOUT(closer.boxes.size(), std::size_t{1}, 5000);
    QVERIFY(form->isVisible());
    form->close();
    QCOMPARE(form->ExitStatus(), 1);
  }
};

VESTREL_GUI_TEST_MAIN(WindowTest)
#include "tst_window.moc"
