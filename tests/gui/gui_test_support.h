// Helpers for the window tests: the offscreen test main, a port directory of pseudo-terminals,
// the simulator as a child process, a link that forwards to a test-owned fake bootloader, and a
// closer for modal boxes that records what they showed.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/gui/vestrelmain.h"
#include "tests/support/fake_bootloader.h"
#include "tests/support/forwarding_link.h"
#include "tests/support/hex_text.h"

// The test main: the offscreen platform unless the caller chose one, and a configuration
// folder of its own, so that the windows it makes (and the programs it starts) neither read nor
// write what the user's window remembers.
#define VESTREL_GUI_TEST_MAIN(TestClass)                                                        \
  int main(int argc, char** argv) {                                                             \
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen"); \
    const vestrel::test::TempDir config;                                                        \
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.Path().string()));              \
    QApplication app(argc, argv);                                                               \
    TestClass test;                                                                             \
    return QTest::qExec(&test, argc, argv);                                                     \
  }

namespace vestrel::test {

// A temporary port directory named by VESTREL_PORT_DIR while it lives, with comN entries that
// lead to pseudo-terminals held open by the test (so the port scan finds them usable).
class PortDirectory {
 public:
  PortDirectory();
  ~PortDirectory();
  PortDirectory(const PortDirectory&) = delete;
  PortDirectory& operator=(const PortDirectory&) = delete;

  // comN -> a new pseudo-terminal's device.
  void AddPty(unsigned number);
  std::string Path() const { return dir_.File(""); }
  std::string Entry(unsigned number) const { return dir_.File("com" + std::to_string(number)); }

 private:
  TempDir dir_;
  std::vector<int> masters_;
  QByteArray previous_;
  bool hadPrevious_;
};

// vestrel-sim serving on `portDir`/comN until destroyed; its flash is dumped to FlashPath().
class Simulator {
 public:
  Simulator(const PortDirectory& ports, unsigned number, const QStringList& extraArgs = {});
  ~Simulator();
  bool Started() const { return started_; }
  // Its first output line: the device path, or with --listen the URL it serves.
  const QString& FirstLine() const { return firstLine_; }
  // Ends the simulator (which writes its flash dump) and returns the flash it held.
  Bytes StopAndReadFlash();

 private:
  TempDir dir_;
  QProcess process_;
  bool started_ = false;
  QString firstLine_;
};

gui::FormServices FakeServices(FakeBootloader& fake);

// What a closed message box showed.
struct ShownBox {
  QString text;
  QString caption;
  QMessageBox::Icon icon;
  int buttonCount;
  bool hasOwner;
};

// Closes every modal message box that opens while it lives, as a user clicking OK would, and
// keeps what each one showed. Other modal dialogs are handed to `onDialog` if set.
class BoxCloser {
 public:
  BoxCloser();
  std::vector<ShownBox> boxes;
  std::function<void(QWidget* dialog)> onDialog;
  QStringList Texts() const;

 private:
  void Poll();
  QTimer timer_;
};

// A HEX file holding `data` from the first byte of program flash on.
std::string WriteHexFile(const TempDir& dir, const std::string& name, const Bytes& data);

// The button states as "OCEPVR" letters for enabled buttons and "-" for disabled ones.
QString ButtonStates(const gui::TVestrelForm& form);

// Runs `program` with `args` and `environment` added, bounded in time; returns the exit code
// (or -1 when it did not end in time) and what it wrote to stderr.
struct ProcessResult {
  int exitCode;
  QString stdErr;
};
ProcessResult RunProgram(const QString& program, const QStringList& args,
                         const QStringList& environment, int timeoutMs);

}  // namespace vestrel::test
