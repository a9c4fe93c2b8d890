// The reader's notifications and the writer's hand-over, on fake lines with an injected clock.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/comport/fake_port_fixture.h"

namespace vestrel::comport::fakes {
namespace {

using platform::LineErrorCounters;

V24Message Rxchar() {
  return {WM_V24_RXCHAR, 4, 0};
}  // COM4: port index 3

class ReaderTest : public FakePortTest {
 protected:
  void SetUp() override {
    ASSERT_NE(OpenWith(DefaultV24Parameter()), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(line->WaitReaderIdle());
  }
};

TEST_F(ReaderTest, OneCharacterMessageUntilTheOwnerReacts) {
  ASSERT_TRUE(line->Arrive());
  EXPECT_EQ(Messages(), (std::vector<V24Message>{Rxchar()}));
  ASSERT_TRUE(line->Arrive());
  ASSERT_TRUE(line->Arrive());
  EXPECT_TRUE(Messages().empty());

  line->Queue("ab");
  char buffer[8];
  EXPECT_EQ(port.Read(buffer, 2), 2);
  ASSERT_TRUE(line->Arrive());
  EXPECT_EQ(Messages(), (std::vector<V24Message>{Rxchar()}));
}

TEST_F(ReaderTest, NotifiesAgainMoreThanFiveSecondsAfterTheSecondFurtherArrival) {
  ASSERT_TRUE(line->Arrive());  // notified
  ASSERT_TRUE(line->Arrive());  // first further arrival
  ASSERT_TRUE(line->Arrive());  // second: the timer starts now
  EXPECT_EQ(Messages().size(), 1u);

  now += 5000;
  ASSERT_TRUE(line->Pass());
  ASSERT_TRUE(line->Pass());
  EXPECT_TRUE(Messages().empty());  // not more than 5000 ms yet

  now += 1;
  ASSERT_TRUE(line->Pass());  // the timer runs out
  ASSERT_TRUE(line->Pass());  // and the next pass notifies, with no new arrival
  EXPECT_EQ(Messages(), (std::vector<V24Message>{Rxchar()}));
}

TEST_F(ReaderTest, ClearingAktivWhileTheTimerRunsNotifiesAtTheNextPass) {
  ASSERT_TRUE(line->Arrive());
  ASSERT_TRUE(line->Arrive());
  ASSERT_TRUE(line->Arrive());
  EXPECT_EQ(Messages().size(), 1u);
  port.Reset_SetAktiv();
  ASSERT_TRUE(line->Pass());
  EXPECT_EQ(Messages(), (std::vector<V24Message>{Rxchar()}));
}

TEST_F(ReaderTest, AHungUpLineIsWaitedOutAndArrivalsStillCount) {
  ASSERT_TRUE(line->Event(SerialStatus::Failed));  // a failed wait is not a hang-up
  EXPECT_FALSE(port.GetLineGone());
  ASSERT_TRUE(line->Event(SerialStatus::Gone));
  EXPECT_TRUE(port.GetLineGone());
  EXPECT_TRUE(Messages().empty());
  ASSERT_TRUE(line->Arrive());
  EXPECT_EQ(Messages(), (std::vector<V24Message>{Rxchar()}));
  port.Close();
  EXPECT_FALSE(port.GetLineGone());  // closed: there is no line to speak of
}

// A target that refuses the first post.
class RefusingOnce : public V24NotifyTarget {
 public:
  bool Post(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) override {
    if (refused_.exchange(true)) return queue.Post(Msg, wParam, lParam);
    return false;
  }
  V24MessageQueue queue;

 private:
  std::atomic<bool> refused_{false};
};

TEST_F(FakePortTest, AFailedPostIsTriedAgainAtTheNextArrival) {
  RefusingOnce target;
  ASSERT_NE(port.Open(&target, 0, false), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(line->WaitReaderIdle());
  ASSERT_TRUE(line->Arrive());
  EXPECT_EQ(target.queue.Size(), 0u);
  ASSERT_TRUE(line->Arrive());
  EXPECT_EQ(target.queue.TryTake(), (V24Message{WM_V24_RXCHAR, 1, 0}));
}

TEST_F(FakePortTest, LineErrorsFromTheDriversCounters) {
  line->SetCounters({});
  ASSERT_NE(OpenWith(DefaultV24Parameter()), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(line->WaitReaderIdle());
  ASSERT_TRUE(line->Arrive());
  EXPECT_EQ(Messages(), (std::vector<V24Message>{Rxchar()}));

  // Not held back by an outstanding character message.
  line->SetCounters({.frame = 1});
  ASSERT_TRUE(line->Pass());
  EXPECT_EQ(Messages(), (std::vector<V24Message>{{WM_V24_FRAME, 4, 0}}));

  line->SetCounters({.frame = 1, .overrun = 1, .parity = 1});
  ASSERT_TRUE(line->Pass());
  EXPECT_EQ(Messages(), (std::vector<V24Message>{{WM_V24_OVERRUN, 4, 0}, {WM_V24_RXPARITY, 4, 0}}));

  // A break is cleared; an overflow of the input buffer posts nothing.
  line->SetCounters({.frame = 1, .overrun = 1, .parity = 1, .breaks = 1, .bufferOverrun = 3});
  ASSERT_TRUE(line->Pass());
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(line->breaksCleared, 1);
}

TEST(LineErrorBits, EachGrownCounterGivesItsBit) {
  const LineErrorCounters before{3, 3, 3, 3, 3};
  EXPECT_EQ(LineErrorBits(before, before), 0u);
  EXPECT_EQ(LineErrorBits(before, {4, 3, 3, 3, 3}), CE_FRAME);
  EXPECT_EQ(LineErrorBits(before, {3, 4, 4, 3, 3}), CE_OVERRUN | CE_RXPARITY);
  EXPECT_EQ(LineErrorBits(before, {3, 3, 3, 4, 4}), CE_BREAK | CE_RXOVER);
}

// ---- reading ----

TEST_F(FakePortTest, ReadAppendsAZeroUnlessKeinString) {
  ASSERT_NE(OpenWith(DefaultV24Parameter()), INVALID_HANDLE_VALUE);
  line->Queue("12345");
  char buffer[7] = "xxxxxx";
  EXPECT_EQ(port.Read(buffer, 5), 5);
  EXPECT_EQ(std::string(buffer, 6), std::string("12345\0", 6));
  port.Close();

  V24ParameterTag raw = DefaultV24Parameter();
  raw.KeinString = 1;
  ASSERT_NE(OpenWith(raw), INVALID_HANDLE_VALUE);
  line->Queue("12345");
  char untouched[7] = "xxxxxx";
  EXPECT_EQ(port.Read(untouched, 5), 5);
  EXPECT_EQ(std::string(untouched), "12345x");
  EXPECT_EQ(port.Read(untouched, 5), 0);  // nothing came
}

TEST_F(FakePortTest, NullStrippingDropsReceivedZeroBytes) {
  V24ParameterTag record = DefaultV24Parameter();
  record.KeinNullZeichen = 1;
  record.KeinString = 1;
  ASSERT_NE(OpenWith(record), INVALID_HANDLE_VALUE);
  line->Queue(std::string("a\0b\0", 4));
  char buffer[4] = {};
  EXPECT_EQ(port.Read(buffer, 4), 2);
  EXPECT_EQ(std::string(buffer, 2), "ab");
}

// ---- writing ----

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

class WriterTest : public FakePortTest {
 protected:
  void SetUp() override {
    V24ParameterTag record = DefaultV24Parameter();
    record.TXTimeOut = 2000;
    ASSERT_NE(OpenWith(record), INVALID_HANDLE_VALUE);
    WaitWriterReady();
  }
};

TEST_F(FakePortTest, ClosedComponentReportsNoPort) {
  char buffer[4];
  EXPECT_EQ(port.Write("ab", 2, true), kV24NoPort);
  EXPECT_EQ(port.Read(buffer, 3), kV24NoPort);
  EXPECT_FALSE(port.GetWriteStatus());
  port.TXSuspend();
  port.Reset_SetAktiv();
  port.Reset_Events();
  EXPECT_TRUE(asked.empty());
}

TEST_F(WriterTest, AsynchronousAndSynchronousWrites) {
  EXPECT_EQ(port.Write("hello", -1, true), 5);
  ASSERT_TRUE(line->WaitForBlocks(1));
  WaitWriterReady();
  EXPECT_EQ(port.Write("ab", 2, false), 2);
  EXPECT_EQ(port.Write("x", 0, false), 0);
  EXPECT_EQ(line->Blocks(), (std::vector<std::vector<std::uint8_t>>{Bytes("hello"), Bytes("ab")}));
}

TEST_F(WriterTest, WtwXonXoffFramesEveryBlock) {
  port.ChangeHandShake(WTW_XonXoff);
  EXPECT_EQ(port.Write("AB", -1, true), 4);
  ASSERT_TRUE(line->WaitForBlocks(1));
  EXPECT_EQ(line->Blocks()[0], (std::vector<std::uint8_t>{0x13, 0x41, 0x42, 0x11}));
}

TEST_F(WriterTest, ABusyWriterTakesNoBlock) {
  line->HoldWrites(true);
  EXPECT_EQ(port.Write("first", 5, true), 5);
  ASSERT_TRUE(line->WaitForWriteWaiting());
  EXPECT_EQ(port.Write("second", 6, true), kV24NotReady);
  EXPECT_EQ(port.Write("third", 5, false), kV24NotReady);

  // TXSuspend comes back once the block in flight has gone.
  std::thread release([&] { line->HoldWrites(false); });
  port.TXSuspend();
  release.join();
  EXPECT_EQ(port.Write("fourth", 6, false), 6);
  EXPECT_EQ(line->Blocks(),
            (std::vector<std::vector<std::uint8_t>>{Bytes("first"), Bytes("fourth")}));
}

TEST_F(WriterTest, AShortSynchronousWriteLatchesUntilGetWriteStatus) {
  line->writeLimit = 2;
  EXPECT_EQ(port.Write("hello", 5, false), kV24WriteError);
  line->writeLimit.reset();
  EXPECT_EQ(port.Write("again", 5, false), kV24WriteError);
  EXPECT_EQ(port.Write("again", 5, true), kV24WriteError);
  EXPECT_TRUE(port.GetWriteStatus());
  EXPECT_EQ(port.Write("again", 5, false), 5);
  EXPECT_EQ(line->Blocks(), (std::vector<std::vector<std::uint8_t>>{Bytes("he"), Bytes("again")}));
}

TEST_F(WriterTest, AShortAsynchronousWriteShowsOnlyInTheLatch) {
  line->writeLimit = 1;
  EXPECT_EQ(port.Write("hello", 5, true), 5);
  WaitWriterReady();
  EXPECT_EQ(port.Write("next", 4, true), kV24WriteError);
  EXPECT_TRUE(port.GetWriteStatus());
  line->writeLimit.reset();
  EXPECT_EQ(port.Write("next", 4, true), 4);
}

TEST_F(WriterTest, OversizedBlocksAndBadCountsCopyNothing) {
  const std::string big(kTxBufferSize + 1, 'x');
  EXPECT_EQ(port.Write(big.data(), static_cast<int>(big.size()), true), kV24BadCount);
  EXPECT_EQ(port.Write(big.data(), -2, true), kV24BadCount);
  EXPECT_EQ(port.Write(nullptr, 3, true), kV24BadCount);
  EXPECT_EQ(port.Write(nullptr, -1, true), kV24BadCount);
  EXPECT_EQ(port.Write(big.data(), static_cast<int>(kTxBufferSize), false),
            static_cast<int>(kTxBufferSize));

  port.ChangeHandShake(WTW_XonXoff);
  EXPECT_EQ(port.Write(big.data(), 32766, false), kV24BadCount);
  EXPECT_EQ(port.Write(big.data(), 32765, false), 32767);
  const auto blocks = line->Blocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].size(), kTxBufferSize);
  EXPECT_EQ(blocks[1].size(), 32767u);
}

TEST_F(FakePortTest, DestroyingAnOpenComponentEndsBothThreadsWithABlockInFlight) {
  auto component = std::make_unique<TComPort>();
  Attach(*component);
  V24ParameterTag record = DefaultV24Parameter();
  record.TXTimeOut = 50;  // the held write gives up after this
  component->InitParameter(&record, false);
  ASSERT_NE(component->Open(&queue, 0, false), INVALID_HANDLE_VALUE);
  component->TXSuspend();
  line->HoldWrites(true);
  EXPECT_EQ(component->Write("stuck", 5, true), 5);
  ASSERT_TRUE(line->WaitForWriteWaiting());

  component.reset();
  std::lock_guard lock(line->mutex);
  EXPECT_TRUE(line->released);
  EXPECT_FALSE(line->inWait);
  EXPECT_EQ(line->writesWaiting, 0);
}

}  // namespace
}  // namespace vestrel::comport::fakes
