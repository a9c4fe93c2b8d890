// The loader serial link over a real pseudo-terminal; the test plays the bootloader on the
// master side.
#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <thread>
#include <vector>

#include "protocol/frame.h"
#include "protocol/serial_loader_link.h"
#include "tests/protocol/recording_view.h"
#include "tests/support/port_dir.h"
#include "tests/support/pty_pair.h"

namespace vestrel::protocol {
namespace {

using testing_support::PortDir;
using testing_support::PtyPair;
using testing_support::RecordingView;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Keeps sending `pattern` until stopped, never blocking for long on a full line.
class Babbler {
 public:
  Babbler(PtyPair& pty, Bytes pattern)
      : thread_([this, &pty, pattern] {
          while (!stop_) {
            if (PtyPair::WaitFor(pty.master(), POLLOUT, 20ms))
              (void)::write(pty.master(), pattern.data(), pattern.size());
          }
        }) {}
  ~Babbler() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SerialLinkPty : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.ok()); }

  void Open(std::uint32_t baud = 38400) {
    ASSERT_TRUE(link.OpenPort(PortTarget{"COM3", pty.SlavePath()}, baud));
  }

  // What the host writes, as the bootloader sees it.
  Bytes HostSent() { return pty.Received(150ms); }

  int Receive(Bytes& reply, std::size_t capacity = 64) {
    reply.assign(capacity, 0);
    const int r = link.ReceiveFrame(reply);
    reply.resize(r > 0 ? static_cast<std::size_t>(r) : 0);
    return r;
  }

  static Bytes WithChecksum(Bytes payload) {
    payload.push_back(FrameChecksum(payload));
    return payload;
  }

  PtyPair pty;
  RecordingView view;
  SerialLoaderLink link{view};
};

TEST_F(SerialLinkPty, OpenConfiguresARawLineAndSaysSo) {
  Open(57600);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(view.info, "COM3 is open");
  EXPECT_TRUE(view.messages.empty());

  termios tio{};
  ASSERT_EQ(::tcgetattr(pty.slave(), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), B57600);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  view.info.clear();
  EXPECT_TRUE(link.OpenPort(PortTarget{"COM9", "/nonexistent"}, 1200));  // already open
  EXPECT_EQ(view.info, "");
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(SerialLinkPty, OpenFailsOnMissingOrBusyPortAndStaysClosed) {
  EXPECT_FALSE(link.OpenPort(PortTarget{"COM4", pty.SlavePath() + "-missing"}, 38400));
  auto holder = platform::OpenSerialDevice(pty.SlavePath());
  ASSERT_EQ(holder.status, platform::OpenStatus::Opened);
  EXPECT_FALSE(link.OpenPort(PortTarget{"COM3", pty.SlavePath()}, 38400));

  EXPECT_FALSE(link.IsOpen());
  ASSERT_EQ(view.messages.size(), 2u);
  for (const auto& m : view.messages) {
    EXPECT_EQ(m.caption, "Port Error");
    EXPECT_EQ(m.text.rfind("Unable to Open COMM Port\n", 0), 0u) << m.text;
  }
  EXPECT_NE(view.messages[0].text.find("does not exist"), std::string::npos);
  EXPECT_NE(view.messages[1].text.find("held by another program"), std::string::npos);
  EXPECT_EQ(view.info, "");
}

TEST_F(SerialLinkPty, OpenWithoutPortOrBaudFailsClearly) {
  EXPECT_FALSE(link.OpenPort(std::nullopt, 38400));
  EXPECT_FALSE(link.OpenPort(PortTarget{"COM3", pty.SlavePath()}, std::nullopt));
  EXPECT_FALSE(link.IsOpen());
  ASSERT_EQ(view.messages.size(), 2u);
  EXPECT_EQ(view.messages[0].text, "Unable to Open COMM Port\nNo port is selected.");
  EXPECT_EQ(view.messages[1].text, "Unable to Open COMM Port\nNo baud rate is selected.");
  // The port was not taken: another opener still gets it.
  EXPECT_EQ(platform::ClassifyPort(pty.SlavePath()), platform::PortState::Usable);
}

TEST_F(SerialLinkPty, PortNameAndTargetFollowThePortDirectory) {
  PortDir dir;
  EXPECT_EQ(SerialLoaderLink::PortName(12, true), "COM12");
  EXPECT_EQ(SerialLoaderLink::PortName(12, false), dir.Entry(12).string());
  dir.Link(3, pty.SlavePath());
  EXPECT_TRUE(link.OpenPort(SerialLoaderLink::Target(3), 38400));
  EXPECT_EQ(view.info, "COM3 is open");
}

TEST_F(SerialLinkPty, BytesSentBeforeOpenArePurged) {
  const Bytes stale = EncodeFrame(Bytes{0x01, 0x02});
  ASSERT_TRUE(pty.Send(stale));
  ASSERT_TRUE(PtyPair::WaitFor(pty.slave(), POLLIN, 2s));  // queued at the host side
  Open();
  Bytes reply;
  EXPECT_EQ(Receive(reply), kTimedOut);
}

TEST_F(SerialLinkPty, AnyAnswerByteSyncs) {
  Open();
  // The bootloader ignores two probes and answers the third with a byte that is not 0x55.
  std::thread bootloader([this] {
    for (int probe = 1; probe <= 3; ++probe) {
      if (!PtyPair::WaitFor(pty.master(), POLLIN, 2s)) return;
      std::uint8_t b = 0;
      if (::read(pty.master(), &b, 1) != 1) return;
      if (probe == 3) pty.Send(Bytes{0x00});
    }
  });
  EXPECT_TRUE(link.BaudSync());
  bootloader.join();
  EXPECT_TRUE(HostSent().empty());  // no probe after the answer
}

TEST_F(SerialLinkPty, SendFrameWritesTheEncodedFrame) {
  Open();
  const Bytes payloads[] = {{}, {0x01, 0x55, 0x04, 0x05, 0x10}, {0x02, 0xFF, 0x03}, {0xFB}};
  for (const Bytes& payload : payloads) {
    EXPECT_EQ(link.SendFrame(payload), static_cast<int>(payload.size()));
    EXPECT_EQ(HostSent(), EncodeFrame(payload));
  }
  EXPECT_EQ(EncodeFrame(Bytes{}), (Bytes{0x55, 0x55, 0x55, 0x55, 0x00, 0x04}));
}

TEST_F(SerialLinkPty, NoiseAndASecondSyncAnswerAheadOfAReplyAreDiscarded) {
  Open();
  const Bytes payload{0x01, 0x02, 0x55, 0x80};
  Bytes line{0x55, 0x13, 0xA7, 0x00, 0x3C};  // a late sync answer, then noise
  const Bytes frame = EncodeFrame(payload);
  line.insert(line.end(), frame.begin(), frame.end());
  ASSERT_TRUE(pty.Send(line));
  Bytes reply;
  EXPECT_EQ(Receive(reply), static_cast<int>(payload.size() + 1));
  EXPECT_EQ(reply, WithChecksum(payload));
}

TEST_F(SerialLinkPty, ReplyInBurstsIsReceivedWhole) {
  Open();
  Bytes payload(40);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  const Bytes frame = EncodeFrame(payload);
  std::thread bootloader([&] {
    for (std::size_t at = 0; at < frame.size(); at += 12) {
      const std::size_t n = std::min<std::size_t>(12, frame.size() - at);
      pty.Send(std::span(frame).subspan(at, n));
      std::this_thread::sleep_for(40ms);  // well inside the 100 ms per byte
    }
  });
  Bytes reply;
  const int r = Receive(reply);
  bootloader.join();
  EXPECT_EQ(r, static_cast<int>(payload.size() + 1));
  EXPECT_EQ(reply, WithChecksum(payload));
}

TEST_F(SerialLinkPty, ReplyEndingAfterAnEscapeByteTimesOut) {
  Open();
  ASSERT_TRUE(pty.Send(Bytes{0x55, 0x55, 0x55, 0x55, 0x01, 0x05}));
  Bytes reply;
  EXPECT_EQ(Receive(reply), kTimedOut);
}

TEST_F(SerialLinkPty, BabblingLineEndsTheReceive) {
  Open();
  {
    Babbler babbler(pty, Bytes(64, 0x55));  // start bytes forever: each restarts the frame
    Bytes reply;
    EXPECT_EQ(Receive(reply, 16), kFrameTooLong);
  }
  link.DiscardStaleInput();  // bounded even while the line babbles on, and after
  {
    // Noise with a start byte every few bytes never fills the buffer either.
    Babbler babbler(pty, Bytes{0x55, 0x11, 0x22, 0x33, 0x05, 0x44});
    Bytes reply;
    EXPECT_EQ(Receive(reply, 16), kFrameTooLong);
    link.DiscardStaleInput();
  }
}

TEST_F(SerialLinkPty, DiscardStaleInputLeavesNothingForTheNextReceive) {
  Open();
  ASSERT_TRUE(pty.Send(Bytes{0x10, 0x20, 0x04, 0x55, 0x55}));
  ASSERT_TRUE(PtyPair::WaitFor(pty.slave(), POLLIN, 2s));
  link.DiscardStaleInput();
  Bytes reply;
  EXPECT_EQ(Receive(reply), kTimedOut);
}

// Regression: nothing bounded a write, so a line that stopped taking bytes hung the load.
TEST_F(SerialLinkPty, ALineThatStopsTakingBytesEndsTheSendInsteadOfBlocking) {
  Open(115200);
  const Bytes block(520, 0x11);
  int sent = 0;
  // Nobody reads the far end: the line's buffers fill, then a write can go no further.
  while (sent < 1000 && link.SendFrame(block) == 520) ++sent;
  EXPECT_LT(sent, 1000);
  EXPECT_NE(link.LinkLostReason().find("stopped taking bytes"), std::string::npos)
      << link.LinkLostReason();
  EXPECT_EQ(link.SendFrame(block), kReadFailed);
}

TEST_F(SerialLinkPty, UnplugWhileWaitingGivesReadFailed) {
  Open();
  ASSERT_TRUE(pty.Send(Bytes{0x55, 0x55, 0x55, 0x55, 0x01}));
  std::thread unplug([this] {
    std::this_thread::sleep_for(30ms);
    pty.CloseMaster();
  });
  Bytes reply;
  const int r = Receive(reply);
  unplug.join();
  EXPECT_EQ(r, kReadFailed);
  EXPECT_EQ(link.SendFrame(Bytes{0x01}), kReadFailed);
  EXPECT_EQ(link.SyncProbe(), 0);
  EXPECT_EQ(Receive(reply), kReadFailed);
}

}  // namespace
}  // namespace vestrel::protocol
