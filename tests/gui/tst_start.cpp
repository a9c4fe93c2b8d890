// The process start-up: an exception that escapes an event handler is shown in a box owned by
// the window, and the window closes with the exit code its close computes.
#include <QTest>
#include <stdexcept>

#include "app/gui/vestrel_application.h"
#include "tests/gui/gui_test_support.h"

using namespace vestrel;
using namespace vestrel::gui;
using vestrel::test::BoxCloser;
using vestrel::test::FakeBootloader;
using vestrel::test::PortDirectory;

namespace {

// An object whose event handler throws, as a fault deep in a handler would.
class Thrower : public QObject {
 public:
  explicit Thrower(bool standard) : standard_(standard) {}
  bool event(QEvent*) override {
    if (standard_) throw std::runtime_error("out of cheese");
    throw 42;
  }

 private:
  bool standard_;
};

}  // namespace

class StartTest : public QObject {
  Q_OBJECT

  std::unique_ptr<PortDirectory> ports_;
  std::unique_ptr<FakeBootloader> fake_;

  VestrelApplication& App() { return *static_cast<VestrelApplication*>(qApp); }

 private slots:
  void init() {
    ports_ = std::make_unique<PortDirectory>();
    fake_ = std::make_unique<FakeBootloader>(4096);
  }
  void cleanup() {
    App().SetForm(nullptr);
    fake_.reset();
    ports_.reset();
  }

  void escapedExceptionIsShownAndClosesTheWindow() {
    TVestrelForm form({}, test::FakeServices(*fake_));
    App().SetForm(&form);
    form.show();
    BoxCloser closer;
    Thrower thrower(true);
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&thrower, &event);
    QCOMPARE(closer.Texts(), QStringList{"Error: out of cheese"});
    QVERIFY(closer.boxes[0].hasOwner);
    QVERIFY(!form.isVisible());
    QCOMPARE(form.ExitStatus(), 0);  // nothing was asked for
  }

  void exceptionWithoutMessageEndsWithTheComputedCode() {
    TVestrelForm form({"-e"}, test::FakeServices(*fake_));  // erase asked for, never done
    App().SetForm(&form);
    BoxCloser closer;
    form.show();
    QTRY_COMPARE_WITH_TIMEOUT(closer.boxes.size(), std::size_t{1}, 5000);
    Thrower thrower(false);
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&thrower, &event);
    QCOMPARE(closer.boxes.size(), std::size_t{2});
    QCOMPARE(closer.boxes[1].text, QString());
    QVERIFY(!form.isVisible());
    QCOMPARE(form.ExitStatus(), 1);
  }

  // The desktop matches the window to the installed entry by name, and shows the entry's icon.
  void applicationNamesItsDesktopEntryAndCarriesItsIcon() {
    QFile entry(QStringLiteral(VESTREL_DESKTOP_ENTRY));
    QVERIFY(entry.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString text = QString::fromUtf8(entry.readAll());
    QCOMPARE(QFileInfo(entry.fileName()).completeBaseName(), QGuiApplication::desktopFileName());
    QVERIFY(text.contains(QStringLiteral("\nIcon=") + QGuiApplication::desktopFileName() + "\n"));

    const QImage icon = QGuiApplication::windowIcon().pixmap(48, 48).toImage();
    QCOMPARE(icon.size(), QSize(48, 48));
    QCOMPARE(qAlpha(icon.pixel(24, 24)), 255);  // drawn, not an empty picture
  }
};

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  VestrelApplication app(argc, argv);
  StartTest test;
  return QTest::qExec(&test, argc, argv);
}
#include "tst_start.moc"
