#include "platform/serial_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include "tests/support/hex_text.h"
#include "tests/support/pty_pair.h"
#include "tests/support/unprivileged.h"

namespace vestrel::platform {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using testing_support::PtyPair;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

std::unique_ptr<SerialDevice> OpenOrFail(const std::string& path) {
  OpenResult r = OpenSerialDevice(path);
  EXPECT_EQ(r.status, OpenStatus::Opened) << path << ": " << r.text;
  return std::move(r.device);
}

DCB LoaderLine(std::uint32_t rate) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = rate;
  dcb.fBinary = 1;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  return dcb;
}

// --- Opening ---------------------------------------------------------------------------------

TEST(OpenSerialDevice, OnlyTerminalsAreOpenedAndNothingElseIsTouched) {
  TempDir dir;
  const fs::path file = dir.Path() / "com1";
  { std::ofstream(file) << "firmware"; }
  const fs::path fifo = dir.Path() / "com2";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // opening it for real would block
  const fs::path link = dir.Path() / "com3";
  fs::create_symlink(file, link);

  for (const fs::path& p : {file, fifo, link, dir.Path()})
    EXPECT_EQ(OpenSerialDevice(p.string()).status, OpenStatus::NotASerialDevice) << p;
  // A character device that is no terminal is closed again without use.
  if (::access("/dev/null", R_OK | W_OK) == 0) {
    EXPECT_EQ(OpenSerialDevice("/dev/null").status, OpenStatus::NotASerialDevice);
  }

  std::ifstream in(file);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "firmware");
  EXPECT_EQ(ClassifyPort(file.string()), PortState::Absent);
}

TEST(OpenSerialDevice, MissingDeviceAndDanglingLinkAreNotFound) {
  TempDir dir;
  const fs::path dangling = dir.Path() / "com4";
  fs::create_symlink(dir.Path() / "gone", dangling);
  for (const fs::path& p : {dir.Path() / "com9", dangling}) {
    OpenResult r = OpenSerialDevice(p.string());
    EXPECT_EQ(r.status, OpenStatus::NotFound) << p;
    EXPECT_EQ(r.error, ENOENT);
    EXPECT_FALSE(r.text.empty());
  }
}

TEST(OpenSerialDevice, SecondOpenerIsRefusedAsBusyUntilTheFirstCloses) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto first = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(first);

  // A refusal, told apart from absence, even for an administrator (the tests may run as root).
  EXPECT_EQ(OpenSerialDevice(pty.SlavePath()).status, OpenStatus::Busy);
  EXPECT_EQ(ClassifyPort(pty.SlavePath()), PortState::Busy);

  first.reset();
  EXPECT_EQ(ClassifyPort(pty.SlavePath()), PortState::Usable);
  EXPECT_EQ(ClassifyPort(pty.SlavePath()), PortState::Usable);  // the scan leaves it free
}

TEST(OpenSerialDevice, PermissionDeniedNamesTheOwningGroup) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(::chmod(pty.SlavePath().c_str(), 0), 0);
  test::AsOrdinaryUser([&pty] {
    OpenResult r = OpenSerialDevice(pty.SlavePath());
    EXPECT_EQ(r.status, OpenStatus::PermissionDenied);
    EXPECT_FALSE(r.ownerGroup.empty());
    EXPECT_EQ(ClassifyPort(pty.SlavePath()), PortState::Absent);
  });
}

// --- Line settings ---------------------------------------------------------------------------

TEST(SerialDeviceState, SettingsReadBackAsSet) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(device);

  std::vector<DCB> lines;
  lines.push_back(LoaderLine(38400));
  DCB sevenEvenTwo = LoaderLine(9600);
  sevenEvenTwo.ByteSize = 7;
  sevenEvenTwo.Parity = EVENPARITY;
  sevenEvenTwo.fParity = 1;
  sevenEvenTwo.StopBits = TWOSTOPBITS;
  lines.push_back(sevenEvenTwo);
  DCB mark = LoaderLine(4800);
  mark.Parity = MARKPARITY;
  lines.push_back(mark);
  DCB space = LoaderLine(1200);
  space.Parity = SPACEPARITY;
  lines.push_back(space);
  DCB xonXoff = LoaderLine(115200);
  xonXoff.fOutX = 1;
  xonXoff.XonChar = 0x11;
  xonXoff.XoffChar = 0x13;
  xonXoff.fRtsControl = RTS_CONTROL_ENABLE;
  lines.push_back(xonXoff);
  DCB cts = LoaderLine(57600);
  cts.fOutxCtsFlow = 1;
  cts.fRtsControl = RTS_CONTROL_HANDSHAKE;
  lines.push_back(cts);
  DCB fiveBitsOneAndHalf = LoaderLine(2400);
  fiveBitsOneAndHalf.ByteSize = 5;
  fiveBitsOneAndHalf.StopBits = ONE5STOPBITS;
  lines.push_back(fiveBitsOneAndHalf);
  // Fields termios has no place for come back as they were set.
  DCB kept = LoaderLine(19200);
  kept.fNull = 1;
  kept.XonLim = 2048;
  kept.XoffLim = 512;
  kept.EvtChar = 'x';
  lines.push_back(kept);
  for (std::uint32_t rate : {250000u, 1000000u, 921600u, 31250u}) lines.push_back(LoaderLine(rate));

  for (const DCB& set : lines) {
    ASSERT_TRUE(device->SetCommState(set).ok()) << set.BaudRate;
    DCB got{};
    ASSERT_TRUE(device->GetCommState(got).ok());
    EXPECT_EQ(got, set) << "rate " << set.BaudRate << " size " << int(set.ByteSize) << " parity "
                        << int(set.Parity);
  }
}

TEST(SerialDeviceState, ImpossibleSettingsFailAndChangeNothing) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(device);
  const DCB good = LoaderLine(38400);
  ASSERT_TRUE(device->SetCommState(good).ok());

  DCB nineBits = good;
  nineBits.ByteSize = 9;
  DCB noRate = good;
  noRate.BaudRate = 0;
  DCB toggle = good;
  toggle.fRtsControl = RTS_CONTROL_TOGGLE;
  for (const DCB& bad : {nineBits, noRate, toggle}) {
    SerialResult r = device->SetCommState(bad);
    EXPECT_EQ(r.status, SerialStatus::Failed);
    EXPECT_FALSE(r.text.empty());
  }
  DCB got{};
  ASSERT_TRUE(device->GetCommState(got).ok());
  EXPECT_EQ(got, good);
}

TEST(SerialDeviceState, PseudoTerminalHasNoModemLinesNorLowLatencyButAcceptsTheLine) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(device);
  EXPECT_EQ(device->SetDtr(false).status, SerialStatus::Unsupported);
  EXPECT_EQ(device->SetRts(true).status, SerialStatus::Unsupported);
  EXPECT_EQ(device->SetLowLatency(true).status, SerialStatus::Unsupported);
  DCB dtrOn = LoaderLine(9600);
  dtrOn.fDtrControl = DTR_CONTROL_ENABLE;
  EXPECT_TRUE(device->SetCommState(dtrOn).ok());
  LineErrorCounters counters;
  EXPECT_EQ(device->GetLineErrorCounters(counters).status, SerialStatus::Unsupported);
}

TEST(SerialDeviceState, TimeoutsReadBackAsSet) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(device);
  const COMMTIMEOUTS set{20, 1, 500, 1, 1000};
  ASSERT_TRUE(device->SetCommTimeouts(set).ok());
  COMMTIMEOUTS got{};
  ASSERT_TRUE(device->GetCommTimeouts(got).ok());
  EXPECT_EQ(got, set);
}

// --- Reading and writing ---------------------------------------------------------------------

class SerialDeviceIo : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    device = OpenOrFail(pty.SlavePath());
    ASSERT_TRUE(device);
    ASSERT_TRUE(device->SetCommState(LoaderLine(38400)).ok());
  }

  void SetTimeouts(COMMTIMEOUTS t) { ASSERT_TRUE(device->SetCommTimeouts(t).ok()); }

  // Waits (bounded) until bytes sent by the far end are queued for the device.
  void WaitQueued() { ASSERT_TRUE(PtyPair::WaitFor(pty.slave(), POLLIN, 2s)); }

  PtyPair pty;
  std::unique_ptr<SerialDevice> device;
};

TEST_F(SerialDeviceIo, WaitForFirstByteReturnsWithWhatIsThere) {
  SetTimeouts({MAXDWORD, MAXDWORD, 100, 0, 0});
  Bytes buffer(8);
  SerialResult r = device->Read(buffer);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.count, 0u);  // nothing within 100 ms: a time-out, not an error

  ASSERT_TRUE(pty.Send(Bytes{1, 2, 3}));
  WaitQueued();
  r = device->Read(buffer);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.count, 3u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 3), (Bytes{1, 2, 3}));
}

TEST_F(SerialDeviceIo, ImmediateReadTakesOnlyWhatIsQueued) {
  SetTimeouts({MAXDWORD, 0, 0, 0, 0});
  Bytes buffer(4);
  EXPECT_EQ(device->Read(buffer).count, 0u);
  ASSERT_TRUE(pty.Send(Bytes{9, 8, 7, 6, 5, 4}));
  WaitQueued();
  SerialResult r = device->Read(buffer);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.count, 4u);
  EXPECT_EQ(device->Read(buffer).count, 2u);
}

TEST_F(SerialDeviceIo, IntervalTimeoutEndsAReadAfterTheLastByte) {
  SetTimeouts({20, 1, 2000, 0, 0});
  ASSERT_TRUE(pty.Send(Bytes{1, 2, 3}));
  Bytes buffer(100);
  SerialResult r = device->Read(buffer);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.count, 3u);
}

TEST_F(SerialDeviceIo, WrittenBytesReachTheFarEnd) {
  const Bytes data{0x55, 0x00, 0xFF, 0x04};
  SerialResult r = device->Write(data);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.count, data.size());
  EXPECT_TRUE(device->Drain(std::chrono::seconds(1)).ok());
  EXPECT_EQ(pty.Received(200ms), data);
}

TEST_F(SerialDeviceIo, PurgeDiscardsQueuedInput) {
  ASSERT_TRUE(pty.Send(Bytes{1, 2, 3}));
  WaitQueued();
  ASSERT_TRUE(device->Purge(PURGE_RXCLEAR | PURGE_TXCLEAR).ok());
  SetTimeouts({MAXDWORD, 0, 0, 0, 0});
  Bytes buffer(8);
  EXPECT_EQ(device->Read(buffer).count, 0u);
}

TEST_F(SerialDeviceIo, WaitReadableTellsDataFromSilence) {
  EXPECT_EQ(device->WaitReadable(30ms).status, SerialStatus::TimedOut);
  ASSERT_TRUE(pty.Send(Bytes{1}));
  EXPECT_EQ(device->WaitReadable(2s).status, SerialStatus::Ok);
}

TEST_F(SerialDeviceIo, HangUpIsGoneNeverATimeout) {
  SetTimeouts({MAXDWORD, MAXDWORD, 100, 0, 0});
  pty.CloseMaster();
  Bytes buffer(1);
  EXPECT_EQ(device->Read(buffer).status, SerialStatus::Gone);
  EXPECT_EQ(device->WaitReadable(2s).status, SerialStatus::Gone);
  EXPECT_EQ(device->Write(Bytes{1}).status, SerialStatus::Gone);
}

TEST_F(SerialDeviceIo, HangUpWakesAWaitingRead) {
  SetTimeouts({0, 0, 5000, 0, 0});  // long enough that only the hang-up ends this read
  std::thread unplug([this] {
    std::this_thread::sleep_for(50ms);
    pty.CloseMaster();
  });
  Bytes buffer(4);
  const SerialResult r = device->Read(buffer);
  unplug.join();
  EXPECT_EQ(r.status, SerialStatus::Gone);
}

// --- Arrivals ----------------------------------------------------------------------------------

TEST_F(SerialDeviceIo, WaitArrivalReportsEachArrivalOnceWhileBytesStayUnread) {
  EXPECT_EQ(device->WaitArrival(30ms).status, SerialStatus::TimedOut);
  ASSERT_TRUE(pty.Send(Bytes{1, 2}));
  EXPECT_EQ(device->WaitArrival(2s).status, SerialStatus::Ok);
  // The two bytes are still queued, but nothing new came.
  EXPECT_EQ(device->WaitArrival(30ms).status, SerialStatus::TimedOut);
  ASSERT_TRUE(pty.Send(Bytes{3}));
  EXPECT_EQ(device->WaitArrival(2s).status, SerialStatus::Ok);

  SetTimeouts({MAXDWORD, 0, 0, 0, 0});
  Bytes buffer(8);
  EXPECT_EQ(device->Read(buffer).count, 3u);
  EXPECT_EQ(device->WaitArrival(30ms).status, SerialStatus::TimedOut);
}

TEST_F(SerialDeviceIo, WaitArrivalReportsAHangUpOnceThenWaits) {
  pty.CloseMaster();
  EXPECT_EQ(device->WaitArrival(2s).status, SerialStatus::Gone);
  EXPECT_EQ(device->WaitArrival(30ms).status, SerialStatus::TimedOut);
}

TEST(SerialDeviceState, StateFoundAtOpenCanBeSetAgain) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(device);
  DCB found{};
  ASSERT_TRUE(device->GetCommState(found).ok());
  EXPECT_TRUE(device->SetCommState(found).ok());
}

// --- A real port, only when one is named: it opens hardware -----------------------------------

#ifdef __linux__
// The driver's low-latency flag, read through a descriptor of its own (root may open the port
// while it is held; others may not, and the check is then left out).
std::optional<bool> LowLatencyFlag(const char* path) {
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  serial_struct serial{};
  const int r = ::ioctl(fd, TIOCGSERIAL, &serial);
  ::close(fd);
  if (r != 0) return std::nullopt;
  return (serial.flags & static_cast<int>(ASYNC_LOW_LATENCY)) != 0;
}

TEST(RealSerialDevice, LowLatencyIsRestoredAndARateTheDriverCannotRunFails) {
  const char* path = std::getenv("VESTREL_TEST_SERIAL_DEVICE");
  if (path == nullptr) GTEST_SKIP() << "set VESTREL_TEST_SERIAL_DEVICE to a serial port to run";
  const std::optional<bool> before = LowLatencyFlag(path);
  {
    auto device = OpenOrFail(path);
    ASSERT_TRUE(device);
    const SerialResult set = device->SetLowLatency(!before.value_or(false));
    if (set.ok() && ::geteuid() == 0) {
      EXPECT_EQ(LowLatencyFlag(path), !before.value_or(false));
    }

    const SerialResult fast = device->SetCommState(LoaderLine(40'000'000));
    EXPECT_FALSE(fast.ok()) << "no UART runs 40 Mbaud";
    EXPECT_FALSE(fast.text.empty());
    EXPECT_TRUE(device->SetCommState(LoaderLine(9600)).ok());
  }
  EXPECT_EQ(LowLatencyFlag(path), before);
}
#endif

TEST(RateWithinTolerance, ThreePercentEitherWay) {
  EXPECT_TRUE(RateWithinTolerance(921600, 923077));  // an FTDI divisor's nearest rate
  EXPECT_TRUE(RateWithinTolerance(100000, 103000));
  EXPECT_FALSE(RateWithinTolerance(100000, 103001));
  EXPECT_TRUE(RateWithinTolerance(100000, 97000));
  EXPECT_FALSE(RateWithinTolerance(100000, 96999));
  EXPECT_FALSE(RateWithinTolerance(921600, 115200));  // a 16550 left at its highest rate
  EXPECT_TRUE(RateWithinTolerance(4'000'000'000u, 4'000'000'000u));
}

}  // namespace
}  // namespace vestrel::platform
