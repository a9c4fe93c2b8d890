// The loader serial link over a scripted device: what a pseudo-terminal cannot show (the order
// of write, drain and read, failures of the line configuration, line errors).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "protocol/serial_loader_link.h"
#include "tests/protocol/recording_view.h"

namespace vestrel::protocol {
namespace {

using platform::SerialResult;
using platform::SerialStatus;
using testing_support::RecordingView;
using Bytes = std::vector<std::uint8_t>;

SerialResult Ok(std::size_t count = 0) {
  return {SerialStatus::Ok, count, 0, {}};
}
SerialResult Fault(SerialStatus status, const char* text) {
  return {status, 0, EIO, text};
}

// Everything the device saw, kept by the test after the link has closed the device.
struct DeviceLog {
  std::vector<std::string> calls;  // "write", "drain", "read", "purge", ...
  Bytes written;
  std::deque<std::uint8_t> input;    // bytes the far end has sent
  std::size_t readChunk = SIZE_MAX;  // at most this many of them per read
  std::function<void()> onRead;      // sees each read (to let time pass)
  std::function<void()> onWait;      // sees each wait for input
  std::optional<SerialResult> readFault;
  std::optional<SerialResult> getStateFault, setStateFault, setTimeoutsFault;
  std::size_t failWriteAt = SIZE_MAX;                   // the write call (from 0) that fails
  SerialResult writeResult = Ok(), drainResult = Ok();  // with their status, when not Ok
  std::chrono::milliseconds drainLimit{0};
  std::uint32_t purgeFlags = 0;
  platform::DCB initial{};
  platform::DCB applied{};
  platform::COMMTIMEOUTS timeouts{0, 0, 0, 7, 9};
  SerialResult lowLatencyResult = Ok();
  bool closed = false;

  std::size_t Index(const std::string& call) const {
    for (std::size_t i = 0; i < calls.size(); ++i)
      if (calls[i] == call) return i;
    return SIZE_MAX;
  }
  std::size_t LastIndex(const std::string& call) const {
    for (std::size_t i = calls.size(); i-- > 0;)
      if (calls[i] == call) return i;
    return SIZE_MAX;
  }
};

class FakeDevice : public platform::SerialDevice {
 public:
  explicit FakeDevice(std::shared_ptr<DeviceLog> log) : log_(std::move(log)) {}
  ~FakeDevice() override { log_->closed = true; }

  const std::string& Path() const override { return path_; }
  SerialResult SetupComm(std::uint32_t, std::uint32_t) override { return Ok(); }
  SerialResult Purge(std::uint32_t flags) override {
    log_->calls.push_back("purge");
    log_->purgeFlags = flags;
    return Ok();
  }
  SerialResult GetCommState(platform::DCB& dcb) override {
    if (log_->getStateFault) return *log_->getStateFault;
    dcb = log_->initial;
    return Ok();
  }
  SerialResult SetCommState(const platform::DCB& dcb) override {
    if (log_->setStateFault) return *log_->setStateFault;
    log_->applied = dcb;
    return Ok();
  }
  SerialResult GetCommTimeouts(platform::COMMTIMEOUTS& t) override {
    t = log_->timeouts;
    return Ok();
  }
  SerialResult SetCommTimeouts(const platform::COMMTIMEOUTS& t) override {
    if (log_->setTimeoutsFault) return *log_->setTimeoutsFault;
    log_->timeouts = t;
    return Ok();
  }
  SerialResult SetDtr(bool) override { return Ok(); }
  SerialResult SetRts(bool) override { return Ok(); }
  SerialResult Read(std::span<std::uint8_t> buffer) override {
    log_->calls.push_back("read");
    if (log_->onRead) log_->onRead();
    if (log_->readFault) return *log_->readFault;
    std::size_t n = 0;
    while (n < buffer.size() && n < log_->readChunk && !log_->input.empty()) {
      buffer[n++] = log_->input.front();
      log_->input.pop_front();
    }
    return Ok(n);  // nothing queued: the 100 ms passed
  }
  SerialResult Write(std::span<const std::uint8_t> data) override {
    const std::size_t call = writes_++;
    log_->calls.push_back("write");
    if (call == log_->failWriteAt) return Fault(SerialStatus::Failed, "write failed");
    if (!log_->writeResult.ok()) return log_->writeResult;
    log_->written.insert(log_->written.end(), data.begin(), data.end());
    return Ok(data.size());
  }
  SerialResult Drain(std::chrono::milliseconds limit) override {
    log_->calls.push_back("drain");
    log_->drainLimit = limit;
    return log_->drainResult;
  }
  SerialResult WaitReadable(std::chrono::milliseconds) override {
    if (log_->onWait) log_->onWait();
    if (log_->input.empty()) return {SerialStatus::TimedOut, 0, 0, {}};
    return Ok();
  }
  SerialResult SetLowLatency(bool on) override {
    log_->calls.push_back(on ? "low latency on" : "low latency off");
    return log_->lowLatencyResult;
  }
  SerialResult GetLineErrorCounters(platform::LineErrorCounters&) override { return Ok(); }
  SerialResult ClearBreak() override { return Ok(); }

 private:
  std::shared_ptr<DeviceLog> log_;
  std::string path_ = "/dev/fake";
  std::size_t writes_ = 0;
};

class SerialLinkFake : public testing::Test {
 protected:
  SerialLoaderLink::DeviceOpener Opener() {
    return [this](const std::string& path) {
      ++opens;
      openedPath = path;
      platform::OpenResult r;
      r.status = refusal.status;
      r.error = refusal.error;
      r.text = refusal.text;
      r.ownerGroup = refusal.ownerGroup;
      if (r.status == platform::OpenStatus::Opened) r.device = std::make_unique<FakeDevice>(log);
      return r;
    };
  }

  bool Open(std::uint32_t baud = 38400) {
    return link.OpenPort(PortTarget{"COM3", "/dev/ttyUSB0"}, baud);
  }

  std::shared_ptr<DeviceLog> log = std::make_shared<DeviceLog>();
  struct Refusal {
    platform::OpenStatus status = platform::OpenStatus::Opened;
    int error = 0;
    std::string text;
    std::string ownerGroup;
  } refusal;
  int opens = 0;
  std::string openedPath;
  RecordingView view;
  SerialLoaderLink link{view, Opener()};
};

TEST_F(SerialLinkFake, OpenSetsTheLoaderLineAndKeepsTheRest) {
  log->initial.XonLim = 123;
  log->initial.fTXContinueOnXoff = 1;
  log->initial.fOutX = 1;
  log->initial.fRtsControl = platform::RTS_CONTROL_HANDSHAKE;
  log->initial.Parity = platform::EVENPARITY;
  ASSERT_TRUE(Open(115200));
  EXPECT_EQ(openedPath, "/dev/ttyUSB0");
  EXPECT_EQ(log->purgeFlags, 0x0Fu);
  EXPECT_LT(log->Index("purge"), log->calls.size());

  platform::DCB expected = log->initial;
  expected.DCBlength = log->applied.DCBlength;
  expected.BaudRate = 115200;
  expected.fBinary = 1;
  expected.fOutX = 0;
  expected.fRtsControl = platform::RTS_CONTROL_DISABLE;
  expected.fDtrControl = platform::DTR_CONTROL_DISABLE;
  expected.ByteSize = 8;
  expected.Parity = platform::NOPARITY;
  expected.StopBits = platform::ONESTOPBIT;
  EXPECT_EQ(log->applied, expected);
  // Writes are bounded: whole milliseconds per byte at the rate, plus a margin.
  EXPECT_EQ(log->timeouts, (platform::COMMTIMEOUTS{platform::MAXDWORD, platform::MAXDWORD, 100, 1,
                                                   SerialLoaderLink::kWriteMarginMs}));
  EXPECT_EQ(view.info, "COM3 is open");

  // Closing puts the line back as it was found (its modem lines stay off).
  link.ClosePort();
  EXPECT_EQ(log->applied, log->initial);
}

TEST_F(SerialLinkFake, OpenAsksForLowLatencyAndGoesOnWhereTheDriverHasNone) {
  ASSERT_TRUE(Open());
  EXPECT_EQ(std::count(log->calls.begin(), log->calls.end(), "low latency on"), 1);
  link.ClosePort();

  log = std::make_shared<DeviceLog>();
  log->lowLatencyResult = {SerialStatus::Unsupported, 0, ENOTTY, "no such setting"};
  EXPECT_TRUE(Open());
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(SerialLinkFake, ConfigurationFailuresShowTheirBoxAndClose) {
  struct Case {
    std::optional<SerialResult> DeviceLog::*fault;
    const char* text;
  };
  const Case cases[] = {
      {&DeviceLog::getStateFault, "Unable to Get Comm State"},
      {&DeviceLog::setStateFault, "Unable to Set Comm State"},
      {&DeviceLog::setTimeoutsFault, "Unable to Set Comm Timeouts"},
  };
  for (const Case& c : cases) {
    log = std::make_shared<DeviceLog>();
    (*log).*c.fault = Fault(SerialStatus::Failed, "Input/output error");
    view.messages.clear();
    EXPECT_FALSE(Open());
    EXPECT_FALSE(link.IsOpen());
    EXPECT_TRUE(log->closed);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, std::string(c.text) + "\nInput/output error.");
    EXPECT_EQ(view.messages[0].caption, "Port Error");
    EXPECT_EQ(view.info, "");
  }
}

TEST_F(SerialLinkFake, RefusedOpenSaysWhy) {
  refusal = {platform::OpenStatus::PermissionDenied, EACCES, "Permission denied", "dialout"};
  EXPECT_FALSE(Open());
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text,
            "Unable to Open COMM Port\nPermission denied on /dev/ttyUSB0: the user may need to be "
            "a member of the group \"dialout\" that owns the device.");
  EXPECT_EQ(link.OpenFailure().message, view.messages[0].text);
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(SerialLinkFake, EachRefusalHasItsClass) {
  const std::pair<platform::OpenStatus, ErrorClass> cases[] = {
      {platform::OpenStatus::NotFound, ErrorClass::PortAbsent},
      {platform::OpenStatus::Busy, ErrorClass::PortBusy},
      {platform::OpenStatus::PermissionDenied, ErrorClass::PortDenied},
      {platform::OpenStatus::NotASerialDevice, ErrorClass::PortUnusable},
      {platform::OpenStatus::Failed, ErrorClass::PortUnusable}};
  for (const auto& [status, error] : cases) {
    refusal.status = status;
    EXPECT_FALSE(Open());
    EXPECT_EQ(link.OpenFailure().error, error) << ErrorClassName(error);
  }
}

// A request gives its reply a little longer than the link's 100 ms instead of a fixed pause
// before the read: a reply that comes in that time is taken, without the grace it is not.
TEST_F(SerialLinkFake, AReplyMayComeWithinTheGraceItsRequestGave) {
  ASSERT_TRUE(Open());
  const Bytes reply = EncodeFrame(Bytes{0x01});
  Bytes buffer(8);
  for (const bool grace : {false, true}) {
    bool sent = false;  // the first read's 100 ms pass; the reply comes right after
    log->onWait = [&] {
      if (!std::exchange(sent, true)) log->input.assign(reply.begin(), reply.end());
    };
    if (grace) link.ExtendNextReplyWait(std::chrono::milliseconds(5));
    EXPECT_EQ(link.ReceiveFrame(buffer), grace ? 2 : kTimedOut);
    log->onWait = nullptr;
    log->input.clear();
  }
}

// Regression: each byte could come up to 100 ms after the last, so a line trickling valid
// replies 40 ms a byte kept one load going for hours.
TEST_F(SerialLinkFake, RepliesFarSlowerThanTheRateGiveTheLinkUp) {
  std::chrono::steady_clock::time_point now{};
  link.SetClock([&now] { return now; });
  ASSERT_TRUE(Open(115200));
  log->readChunk = 1;
  const Bytes reply = EncodeFrame(Bytes(512, 0x11));
  Bytes buffer(600);
  // At the rate, with a USB adapter's 16 ms pauses now and then, a reply is taken.
  std::size_t reads = 0;
  log->onRead = [&] { now += std::chrono::microseconds(++reads % 64 == 0 ? 16000 : 87); };
  log->input.assign(reply.begin(), reply.end());
  EXPECT_EQ(link.ReceiveFrame(buffer), 513);
  // At 40 ms a byte, no reply is: after a few of them the link is given up, saying why.
  log->onRead = [&] { now += std::chrono::milliseconds(40); };
  for (int i = 0; i < SerialLoaderLink::kSlowRepliesBeforeLost; ++i) {
    EXPECT_TRUE(link.LinkLostReason().empty());
    log->input.assign(reply.begin(), reply.end());
    EXPECT_EQ(link.ReceiveFrame(buffer), kTimedOut);
  }
  EXPECT_EQ(link.LinkLostClass(), ErrorClass::LineSlow);
  EXPECT_EQ(link.LinkLostReason(),
            "Replies arrive at about 25 bytes/s, far below 115200 baud: a wrong rate, or a "
            "congested port server? The link is given up.");
  EXPECT_LT(now, std::chrono::steady_clock::time_point() + std::chrono::seconds(5));
}

TEST_F(SerialLinkFake, NothingSelectedOpensNothing) {
  EXPECT_FALSE(link.OpenPort(std::nullopt, std::nullopt));
  EXPECT_EQ(opens, 0);
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(SerialLinkFake, FrameIsDrainedBeforeTheReplyIsRead) {
  ASSERT_TRUE(Open());
  log->calls.clear();
  const Bytes payload{0x02, 0x55, 0x04};
  ASSERT_EQ(link.SendFrame(payload), 3);
  const Bytes reply = EncodeFrame(Bytes{0x01});
  log->input.assign(reply.begin(), reply.end());
  Bytes buffer(8);
  ASSERT_EQ(link.ReceiveFrame(buffer), 2);

  EXPECT_EQ(log->written, EncodeFrame(payload));
  EXPECT_EQ(std::count(log->calls.begin(), log->calls.end(), "write"), 1);
  EXPECT_LT(log->LastIndex("write"), log->Index("drain"));
  EXPECT_LT(log->Index("drain"), log->Index("read"));
}

TEST_F(SerialLinkFake, SyncAgainstASilentLineFailsAfterTwentyProbes) {
  ASSERT_TRUE(Open());
  log->written.clear();
  EXPECT_FALSE(link.BaudSync());
  EXPECT_EQ(log->written, Bytes(20, 0x55));
}

TEST_F(SerialLinkFake, SyncProbeDrainsBeforeWaitingForTheAnswer) {
  ASSERT_TRUE(Open());
  log->calls.clear();
  EXPECT_EQ(link.SyncProbe(), 0);
  EXPECT_EQ(log->calls, (std::vector<std::string>{"write", "drain", "read"}));
  log->input.push_back(0xAA);
  EXPECT_TRUE(link.BaudSync());
}

// Regression: a line that stopped taking bytes blocked the write or the drain for good.
TEST_F(SerialLinkFake, ALineThatStopsTakingBytesLosesTheLink) {
  const SerialResult stalled{SerialStatus::TimedOut, 3, ETIMEDOUT, "timed out"};
  for (bool inDrain : {false, true}) {
    SCOPED_TRACE(inDrain ? "drain" : "write");
    log = std::make_shared<DeviceLog>();
    ASSERT_TRUE(Open(115200));
    (inDrain ? log->drainResult : log->writeResult) = stalled;
    EXPECT_EQ(link.SendFrame(Bytes{0x01, 0x02, 0x03, 0x04}), kReadFailed);
    EXPECT_NE(link.LinkLostReason().find("stopped taking bytes"), std::string::npos);
    const std::size_t calls = log->calls.size();
    EXPECT_EQ(link.SendFrame(Bytes{0x01, 0x02, 0x03, 0x04}), kReadFailed);
    EXPECT_EQ(log->calls.size(), calls);  // nothing more is tried on a lost link
    link.ClosePort();
  }
  // The drain may take the frame's time on the wire plus the margin: 10 bytes at 115200 baud.
  EXPECT_EQ(log->drainLimit.count(), 1 + SerialLoaderLink::kWriteMarginMs);
}

TEST_F(SerialLinkFake, FailedWriteIsNotDrainedAndFailsTheSend) {
  ASSERT_TRUE(Open());
  log->failWriteAt = 0;
  EXPECT_EQ(link.SendFrame(Bytes{0x01, 0x02, 0x03, 0x04}), kReadFailed);
  EXPECT_EQ(log->Index("drain"), SIZE_MAX);
}

TEST_F(SerialLinkFake, BytesReadAheadArePartOfTheInputQueue) {
  ASSERT_TRUE(Open());
  // Two replies arrive together: one device read takes both, each receive gets its own.
  const Bytes first = EncodeFrame(Bytes{0x01}), second = EncodeFrame(Bytes{0x02, 0x03});
  log->input.assign(first.begin(), first.end());
  log->input.insert(log->input.end(), second.begin(), second.end());
  Bytes buffer(8);
  ASSERT_EQ(link.ReceiveFrame(buffer), 2);
  EXPECT_EQ(buffer[0], 0x01);
  EXPECT_EQ(link.ReceiveFrame(buffer), 3);
  EXPECT_EQ(buffer[0], 0x02);

  // A stale reply already read ahead is discarded with the rest of the input.
  log->input.assign(first.begin(), first.end());
  log->input.insert(log->input.end(), second.begin(), second.end());
  ASSERT_EQ(link.ReceiveFrame(buffer), 2);
  link.DiscardStaleInput();
  EXPECT_EQ(link.ReceiveFrame(buffer), kTimedOut);
}

TEST_F(SerialLinkFake, LineErrorsAndHangUpEndTheReceiveWithReadFailed) {
  ASSERT_TRUE(Open());
  for (SerialStatus status : {SerialStatus::Failed, SerialStatus::Gone}) {
    log->readFault = Fault(status, "line error");
    Bytes buffer(8);
    EXPECT_EQ(link.ReceiveFrame(buffer), kReadFailed);
    EXPECT_EQ(link.SyncProbe(), 0);
  }
}

TEST_F(SerialLinkFake, OnlyAHangUpMarksTheLinkAsLostUntilTheNextOpen) {
  ASSERT_TRUE(Open());
  Bytes buffer(8);
  log->readFault = Fault(SerialStatus::Failed, "line error");
  EXPECT_EQ(link.ReceiveFrame(buffer), kReadFailed);
  EXPECT_EQ(link.LinkLostReason(), "");

  log->readFault = Fault(SerialStatus::Gone, "hang-up");
  EXPECT_EQ(link.ReceiveFrame(buffer), kReadFailed);
  EXPECT_EQ(link.LinkLostReason(), "The serial device /dev/fake went away (adapter unplugged?).");

  link.ClosePort();  // the steps after a failed sync still say why they cannot send
  EXPECT_EQ(link.LinkLostReason(), "The serial device /dev/fake went away (adapter unplugged?).");
  ASSERT_TRUE(Open());
  EXPECT_EQ(link.LinkLostReason(), "");
}

TEST_F(SerialLinkFake, ClosedLinkFailsEveryOperation) {
  Bytes buffer(8);
  EXPECT_EQ(link.SendFrame(Bytes{1}), kReadFailed);
  EXPECT_EQ(link.ReceiveFrame(buffer), kReadFailed);
  EXPECT_EQ(link.SyncProbe(), 0);
  EXPECT_FALSE(link.BaudSync());
  link.DiscardStaleInput();
  EXPECT_EQ(opens, 0);

  ASSERT_TRUE(Open());
  link.ClosePort();
  EXPECT_TRUE(log->closed);
  EXPECT_FALSE(link.IsOpen());
}

TEST(ReceiveByteLimit, LeavesRoomForTheLongestValidReplyAndNoise) {
  // A reply whose payload bytes are all escaped, with room for noise ahead of it.
  const Bytes frame = EncodeFrame(Bytes(530, 0x55));
  EXPECT_GE(SerialLoaderLink::ReceiveByteLimit(531), frame.size() + 512);
}

}  // namespace
}  // namespace vestrel::protocol
