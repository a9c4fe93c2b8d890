// TComPort on a pseudo-terminal mapped as COM3: the terminal settings it makes and puts back,
// notifications of real arrivals, reads and writes, and ending with the port open.
#include <gtest/gtest.h>
#include <termios.h>

#include <memory>
#include <string>

#include "comport/comport.h"
#include "tests/support/port_dir.h"
#include "tests/support/pty_pair.h"

namespace vestrel::comport {
namespace {

using namespace std::chrono_literals;
using testing_support::PortDir;
using testing_support::PtyPair;
using Bytes = std::vector<std::uint8_t>;

constexpr int kCom3 = 2;

class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    dir.Link(3, pty.SlavePath());
    port = std::make_unique<TComPort>();
  }

  termios Terminal() const {
    termios tio{};
    EXPECT_EQ(::tcgetattr(pty.slave(), &tio), 0);
    return tio;
  }

  void Open(V24ParameterTag record) {
    port->InitParameter(&record, false);
    ASSERT_NE(port->Open(&queue, kCom3, false), INVALID_HANDLE_VALUE);
  }

  PortDir dir;
  PtyPair pty;
  V24MessageQueue queue;
  std::unique_ptr<TComPort> port;
};

TEST_F(PtyPortTest, OpenSetsTheTerminalAndCloseRestoresIt) {
  const termios before = Terminal();
  V24ParameterTag record = DefaultV24Parameter();
  record.Baudrate = B__9600;
  record.StopBits = S_2;
  record.Handshake = XonXoff;
  Open(record);

  const termios open = Terminal();
  EXPECT_EQ(::cfgetospeed(&open), static_cast<speed_t>(B9600));
  EXPECT_TRUE(open.c_cflag & CSTOPB);
  EXPECT_TRUE(open.c_iflag & IXON);
  EXPECT_FALSE(open.c_iflag & IXOFF);

  port->Close();
  const termios after = Terminal();
  EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
  EXPECT_EQ(after.c_cflag & CSTOPB, before.c_cflag & CSTOPB);
  EXPECT_EQ(after.c_iflag & (IXON | IXOFF), before.c_iflag & (IXON | IXOFF));
}

TEST_F(PtyPortTest, ArrivalsAreNotifiedAndFetchedWithRead) {
  Open(DefaultV24Parameter());
  ASSERT_TRUE(pty.Send(Bytes{'h', 'i'}));
  EXPECT_EQ(queue.Take(5s), (V24Message{WM_V24_RXCHAR, 3, 0}));

  char buffer[8];
  EXPECT_EQ(port->Read(buffer, 2), 2);
  EXPECT_EQ(std::string(buffer), "hi");  // the zero after the data
  EXPECT_EQ(queue.Size(), 0u);

  ASSERT_TRUE(pty.Send(Bytes{'!'}));
  EXPECT_EQ(queue.Take(5s), (V24Message{WM_V24_RXCHAR, 3, 0}));
  EXPECT_EQ(port->Read(buffer, 4), 1);  // ends 20 ms after the last byte
}

TEST_F(PtyPortTest, WritesReachTheLine) {
  Open(DefaultV24Parameter());
  port->TXSuspend();
  EXPECT_EQ(port->Write("hello", -1, true), 5);
  EXPECT_EQ(pty.Received(300ms), (Bytes{'h', 'e', 'l', 'l', 'o'}));
  port->TXSuspend();
  EXPECT_EQ(port->Write("ok", 2, false), 2);
  EXPECT_EQ(pty.Received(300ms), (Bytes{'o', 'k'}));
}

TEST_F(PtyPortTest, DestroyingAnOpenComponentReleasesThePort) {
  Open(DefaultV24Parameter());
  EXPECT_EQ(platform::OpenSerialDevice(pty.SlavePath()).status, platform::OpenStatus::Busy);
  port.reset();
  EXPECT_EQ(platform::OpenSerialDevice(pty.SlavePath()).status, platform::OpenStatus::Opened);
}

}  // namespace
}  // namespace vestrel::comport
