#include "tests/gui/gui_test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QToolButton>
#include <cstdlib>
#include <filesystem>

namespace vestrel::test {

PortDirectory::PortDirectory()
    : previous_(qgetenv("VESTREL_PORT_DIR")),
      hadPrevious_(qEnvironmentVariableIsSet("VESTREL_PORT_DIR")) {
  qputenv("VESTREL_PORT_DIR", QByteArray::fromStdString(Path()));
}

PortDirectory::~PortDirectory() {
  for (int fd : masters_) ::close(fd);
  if (hadPrevious_) {
    qputenv("VESTREL_PORT_DIR", previous_);
  } else {
    qunsetenv("VESTREL_PORT_DIR");
  }
}

void PortDirectory::AddPty(unsigned number) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) std::abort();
  masters_.push_back(master);
  std::filesystem::create_symlink(::ptsname(master), Entry(number));
}

Simulator::Simulator(const PortDirectory& ports, unsigned number, const QStringList& extraArgs) {
  QStringList args = {QStringLiteral("--link"), QString::fromStdString(ports.Entry(number)),
                      QStringLiteral("--flash-out"), QString::fromStdString(dir_.File("flash.bin")),
                      QStringLiteral("--quiet"),
                      // Ends by itself should a failed test leave it behind.
                      QStringLiteral("--max-seconds"), QStringLiteral("300")};
  args += extraArgs;
  process_.setProcessChannelMode(QProcess::SeparateChannels);
  process_.start(QStringLiteral(VESTREL_SIM_BINARY), args);
  // The first line is the device path, printed once the link is in place.
  QElapsedTimer waited;
  waited.start();
  while (!process_.canReadLine() && waited.elapsed() < 5000 &&
         process_.state() != QProcess::NotRunning) {
    process_.waitForReadyRead(100);
  }
  started_ = process_.canReadLine();
  if (started_) firstLine_ = QString::fromUtf8(process_.readLine()).trimmed();
}

Simulator::~Simulator() {
  if (process_.state() != QProcess::NotRunning) {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(1000);
  }
}

Bytes Simulator::StopAndReadFlash() {
  process_.terminate();
  if (!process_.waitForFinished(5000)) {
    process_.kill();
    process_.waitForFinished(1000);
    return {};
  }
  return ReadBytes(dir_.File("flash.bin"));
}

gui::FormServices FakeServices(FakeBootloader& fake) {
  return {[&fake](LoaderView&) { return std::make_unique<ForwardingLink>(fake); },
          [](unsigned number) { return "/dev/fake-com" + std::to_string(number); }};
}

BoxCloser::BoxCloser() {
  QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
  timer_.start(10);
}

void BoxCloser::Poll() {
  QWidget* modal = QApplication::activeModalWidget();
  if (modal == nullptr) return;
  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
    boxes.push_back({box->text(), box->windowTitle(), box->icon(),
                     static_cast<int>(box->buttons().size()), box->parentWidget() != nullptr});
    box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
  } else if (onDialog) {
    onDialog(modal);
  }
}

QStringList BoxCloser::Texts() const {
  QStringList texts;
  for (const ShownBox& box : boxes) texts << box.caption + ": " + box.text.section('\n', 0, 0);
  return texts;
}

std::string WriteHexFile(const TempDir& dir, const std::string& name, const Bytes& data) {
  return dir.Write(name, HexText().Data(0x1D000000, data).End().Text());
}

QString ButtonStates(const gui::TVestrelForm& form) {
  const Button order[] = {Button::Open,    Button::Connect, Button::Erase,
                          Button::Program, Button::Verify,  Button::Run};
  const char letters[] = "OCEPVR";
  QString states;
  for (int i = 0; i < 6; ++i) {
    states += form.SpeedButton(order[i])->isEnabled() ? QChar::fromLatin1(letters[i]) : QChar('-');
  }
  return states;
}

ProcessResult RunProgram(const QString& program, const QStringList& args,
                         const QStringList& environment, int timeoutMs) {
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const QString& setting : environment) {
    env.insert(setting.section('=', 0, 0), setting.section('=', 1));
  }
  process.setProcessEnvironment(env);
  process.start(program, args);
  if (!process.waitForFinished(timeoutMs)) {
    process.kill();
    process.waitForFinished(1000);
    return {-1, QString::fromLocal8Bit(process.readAllStandardError())};
  }
  return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardError())};
}

}  // namespace vestrel::test
