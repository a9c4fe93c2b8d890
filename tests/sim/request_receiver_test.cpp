#include "tools/sim/request_receiver.h"

#include <gtest/gtest.h>

#include "protocol/frame.h"

namespace vestrel::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = ReceiverEvent::Kind;
using std::chrono::milliseconds;

constexpr milliseconds kQuiet{3};
constexpr milliseconds kGap{100};

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class RequestReceiverTest : public ::testing::Test {
 protected:
  RequestReceiver receiver_{ReceiverConfig{kQuiet, kGap, 64}};
  std::vector<ReceiverEvent> events_;

  // Feeds bytes that arrive together (1 µs apart) from `start` on; returns the time of the last.
  SimDuration FeedAt(const Bytes& bytes, SimDuration start) {
    SimDuration t = start;
    for (std::uint8_t b : bytes) {
      for (auto& e : receiver_.Feed(b, t)) events_.push_back(std::move(e));
      t += SimDuration(1);
    }
    return t - SimDuration(1);
  }

  void ExpireAt(SimDuration now) {
    for (auto& e : receiver_.Expire(now)) events_.push_back(std::move(e));
  }

  std::vector<Kind> Kinds() const {
    std::vector<Kind> kinds;
    for (const auto& e : events_) kinds.push_back(e.kind);
    return kinds;
  }
};

TEST_F(RequestReceiverTest, LoneStartByteFollowedBySilenceIsAProbe) {
  const SimDuration t = FeedAt({0x55}, milliseconds(10));
  ExpireAt(t + kQuiet - SimDuration(1));
  EXPECT_TRUE(events_.empty()) << "a probe must not be answered before the quiet time";
  ASSERT_EQ(receiver_.Deadline(), t + kQuiet);
  ExpireAt(t + kQuiet);
  EXPECT_EQ(Kinds(), std::vector<Kind>{Kind::kProbe});
  EXPECT_FALSE(receiver_.Deadline());
}

TEST_F(RequestReceiverTest, FrameIsNotTakenForAProbe) {
  const Bytes payload{0x09, 0x00, 0x02, 0x00};
  const SimDuration t = FeedAt(protocol::EncodeFrame(payload), milliseconds(0));
  ExpireAt(t + kGap * 2);
  ASSERT_EQ(Kinds(), std::vector<Kind>{Kind::kRequest});
  EXPECT_EQ(events_[0].payload, payload);
}

TEST_F(RequestReceiverTest, EscapedControlValuesArriveAsData) {
  const Bytes payload{0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x9D, 0x12, 0x05, 0x04, 0x55};
  FeedAt(protocol::EncodeFrame(payload), milliseconds(0));
  ASSERT_EQ(Kinds(), std::vector<Kind>{Kind::kRequest});
  EXPECT_EQ(events_[0].payload, payload);
}

TEST_F(RequestReceiverTest, ProbesThenFrameAsTheHostSendsThem) {
  SimDuration t = FeedAt({0x55}, milliseconds(0));
  ExpireAt(t + kQuiet);
  t = FeedAt({0x55}, t + milliseconds(100));  // an unanswered host would probe again
  t = FeedAt(protocol::EncodeFrame(Bytes{0x03, 0x00, 0x02, 0x00}), t + milliseconds(5));
  EXPECT_EQ(Kinds(), (std::vector<Kind>{Kind::kProbe, Kind::kProbe, Kind::kRequest}));
}

TEST_F(RequestReceiverTest, StartBytesFollowedBySilenceAreAnIncompleteFrameNotAProbe) {
  const SimDuration t = FeedAt({0x55, 0x55, 0x55, 0x55}, milliseconds(0));
  ExpireAt(t + kQuiet);
  EXPECT_TRUE(events_.empty());
  ExpireAt(t + kGap);
  ASSERT_EQ(Kinds(), std::vector<Kind>{Kind::kViolation});
  EXPECT_NE(events_[0].detail.find("4 start bytes, then silence"), std::string::npos);
}

TEST_F(RequestReceiverTest, FrameThatStallsIsDroppedAndTheNextOneIsServed) {
  const Bytes wire = protocol::EncodeFrame(Bytes{0x09, 0x00, 0x02, 0x00});
  SimDuration t = FeedAt(Bytes(wire.begin(), wire.begin() + 6), milliseconds(0));
  t = FeedAt(wire, t + kGap);
  ASSERT_EQ(Kinds(), (std::vector<Kind>{Kind::kViolation, Kind::kRequest}));
  EXPECT_NE(events_[0].detail.find("incomplete frame: 2 bytes"), std::string::npos);
}

struct BadFrameCase {
  const char* name;
  Bytes wire;
  const char* detail;
};

void PrintTo(const BadFrameCase& c, std::ostream* os) { *os << c.name; }

class BadFrameTest : public ::testing::TestWithParam<BadFrameCase> {};

TEST_P(BadFrameTest, IsReportedAndNotServed) {
  RequestReceiver receiver(ReceiverConfig{kQuiet, kGap, 16});
  std::vector<ReceiverEvent> events;
  SimDuration t{0};
  for (std::uint8_t b : GetParam().wire) {
    for (auto& e : receiver.Feed(b, t)) events.push_back(std::move(e));
    t += SimDuration(1);
  }
  for (auto& e : receiver.Expire(t + kGap)) events.push_back(std::move(e));
  ASSERT_FALSE(events.empty());
  for (const auto& e : events) EXPECT_NE(e.kind, Kind::kRequest);
  EXPECT_NE(events[0].detail.find(GetParam().detail), std::string::npos) << events[0].detail;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BadFrameTest,
    ::testing::Values(
        BadFrameCase{"ChecksumError", {0x55, 0x55, 0x55, 0x55, 0x09, 0x00, 0x02, 0x00, 0xF4, 0x04},
                     "checksum error"},
        BadFrameCase{"ThreeStartBytes", {0x55, 0x55, 0x55, 0x09, 0x00, 0x02, 0x00, 0xF5, 0x04},
                     "3 start bytes, expected 4"},
        BadFrameCase{"NeedlessEscape",
                     {0x55, 0x55, 0x55, 0x55, 0x05, 0x09, 0x00, 0x02, 0x00, 0xF5, 0x04},
                     "escape byte before 0x09"},
        BadFrameCase{"EmptyFrame", {0x55, 0x55, 0x55, 0x55, 0x04}, "without payload"},
        BadFrameCase{"StrayBytes", {0x01, 0x02}, "2 stray bytes"},
        BadFrameCase{"TooLong", Cat(Bytes(4, 0x55), Bytes(20, 0x01)), "frame longer than 16"}),
    [](const ::testing::TestParamInfo<BadFrameCase>& info) { return info.param.name; });

TEST_F(RequestReceiverTest, StartByteInsideAFrameRestartsIt) {
  Bytes wire{0x55, 0x55, 0x55, 0x55, 0x09, 0x00};
  const Bytes good = protocol::EncodeFrame(Bytes{0x09, 0x00, 0x02, 0x00});
  wire.insert(wire.end(), good.begin(), good.end());
  FeedAt(wire, milliseconds(0));
  ASSERT_EQ(Kinds(), (std::vector<Kind>{Kind::kViolation, Kind::kRequest}));
  EXPECT_NE(events_[0].detail.find("start byte inside a frame"), std::string::npos);
}

TEST_F(RequestReceiverTest, OverlongFrameIsSkippedUpToItsEnd) {
  Bytes wire(4, 0x55);
  wire.insert(wire.end(), 70, 0x01);
  wire.push_back(0x04);
  const Bytes good = protocol::EncodeFrame(Bytes{0x03, 0x00, 0x02, 0x00});
  wire.insert(wire.end(), good.begin(), good.end());
  FeedAt(wire, milliseconds(0));
  EXPECT_EQ(Kinds(), (std::vector<Kind>{Kind::kViolation, Kind::kRequest}));
}

}  // namespace
}  // namespace vestrel::sim
