#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace vestrel::protocol {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Decoded {
  int result = 0;
  Bytes stored;
  std::size_t consumed = 0;  // bytes fed up to and including the final one
};

// Feeds bytes until the decoder gives a final result; result 1 means it still wanted more.
Decoded Decode(const Bytes& wire, std::size_t capacity = 64) {
  Bytes buffer(capacity, 0);
  FrameDecoder decoder(buffer);
  Decoded out{1, {}, 0};
  for (std::uint8_t b : wire) {
    ++out.consumed;
    if (auto r = decoder.Feed(b)) {
      out.result = *r;
      if (*r > 0) out.stored.assign(buffer.begin(), buffer.begin() + *r);
      return out;
    }
  }
  return out;
}

struct EncodingCase {
  const char* name;
  Bytes payload;
  std::uint8_t checksum;
  Bytes wire;
};

void PrintTo(const EncodingCase& c, std::ostream* os) { *os << c.name; }

class WorkedEncodings : public testing::TestWithParam<EncodingCase> {};

TEST_P(WorkedEncodings, EncodeAndDecodeBack) {
  const EncodingCase& c = GetParam();
  EXPECT_EQ(FrameChecksum(c.payload), c.checksum);
  EXPECT_EQ(EncodeFrame(c.payload), c.wire);

  Decoded d = Decode(c.wire);
  Bytes expected = c.payload;
  expected.push_back(c.checksum);
  EXPECT_EQ(d.result, static_cast<int>(expected.size()));
  EXPECT_EQ(d.stored, expected);
  EXPECT_EQ(d.consumed, c.wire.size());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, WorkedEncodings,
    testing::Values(
        EncodingCase{"ReadVersion", {0x09, 0x00, 0x02, 0x00}, 0xF5,
                     {0x55, 0x55, 0x55, 0x55, 0x09, 0x00, 0x02, 0x00, 0xF5, 0x04}},
        EncodingCase{"EraseFlash", {0x03, 0x00, 0x02, 0x00}, 0xFB,
                     {0x55, 0x55, 0x55, 0x55, 0x03, 0x00, 0x02, 0x00, 0xFB, 0x04}},
        EncodingCase{"StartApplication", {0x00, 0x00, 0x00, 0x00}, 0x00,
                     {0x55, 0x55, 0x55, 0x55, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04}},
        EncodingCase{"FinishLength0x1000",
                     {0x08, 0x00, 0x04, 0x00, 0x00, 0x10, 0x00, 0x00},
                     0xE4,
                     {0x55, 0x55, 0x55, 0x55, 0x08, 0x00, 0x05, 0x04, 0x00, 0x00, 0x10, 0x00, 0x00,
                      0xE4, 0x04}},
        EncodingCase{"ProgramOneWordWithEscapes",
                     {0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x9D, 0x12, 0x05, 0x04, 0x55},
                     0xF0,
                     {0x55, 0x55, 0x55, 0x55, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x9D, 0x12,
                      0x05, 0x05, 0x05, 0x04, 0x05, 0x55, 0xF0, 0x04}},
        EncodingCase{"ChecksumNeedsEscape", {0xFC}, 0x04,
                     {0x55, 0x55, 0x55, 0x55, 0xFC, 0x05, 0x04, 0x04}},
        EncodingCase{"NeighboursOfControlBytesUnescaped", {0x54, 0x56, 0x03, 0x06}, 0x4D,
                     {0x55, 0x55, 0x55, 0x55, 0x54, 0x56, 0x03, 0x06, 0x4D, 0x04}}),
    [](const testing::TestParamInfo<EncodingCase>& info) { return info.param.name; });

TEST(EncodeFrame, EmptyPayloadIsStartBytesZeroChecksumEnd) {
  EXPECT_EQ(EncodeFrame({}), (Bytes{0x55, 0x55, 0x55, 0x55, 0x00, 0x04}));
}

TEST(FrameDecoder, NoiseBeforeTheLastStartByteIsDiscarded) {
  Decoded d = Decode({0x55, 0xAA, 0x55, 0x01, 0xFF, 0x04});
  EXPECT_EQ(d.result, 2);
  EXPECT_EQ(d.stored, (Bytes{0x01, 0xFF}));
}

TEST(FrameDecoder, EscapedControlBytesAreStoredAsData) {
  // 05 55 neither restarts the frame nor 05 04 ends it.
  Decoded d = Decode({0x55, 0x10, 0x05, 0x55, 0x05, 0x04, 0x05, 0x05, 0x92, 0x04});
  EXPECT_EQ(d.result, 5);
  EXPECT_EQ(d.stored, (Bytes{0x10, 0x55, 0x04, 0x05, 0x92}));
}

TEST(FrameDecoder, StartFollowedByEndIsAnEmptyFrame) {
  EXPECT_EQ(Decode({0x55, 0x04}).result, 0);
}

TEST(FrameDecoder, ChangedPayloadByteIsAChecksumError) {
  EXPECT_EQ(Decode({0x55, 0x55, 0x55, 0x55, 0x09, 0x01, 0x02, 0x00, 0xF5, 0x04}).result,
            kChecksumError);
}

TEST(FrameDecoder, FrameWithoutStartByteIsSummedFromFF) {
  EXPECT_EQ(Decode({0x01, 0x04}).result, 1);  // 0xFF + 0x01 wraps to 0
  EXPECT_EQ(Decode({0x00, 0x04}).result, kChecksumError);
}

TEST(FrameDecoder, CapacityBoundary) {
  Bytes payload(15, 0x11);
  Bytes wire = EncodeFrame(payload);  // 15 payload bytes + checksum = 16 stored
  EXPECT_EQ(Decode(wire, 16).result, 16);
  EXPECT_EQ(Decode(wire, 15).result, kFrameTooLong);
}

TEST(FrameDecoder, ResetAllowsTheNextFrame) {
  Bytes buffer(16);
  FrameDecoder decoder(buffer);
  for (std::uint8_t b : Bytes{0x55, 0x01, 0x04}) (void)decoder.Feed(b);  // checksum error
  decoder.Reset();
  std::optional<int> result;
  for (std::uint8_t b : EncodeFrame(Bytes{0x07})) result = decoder.Feed(b);
  EXPECT_EQ(result, 2);
  EXPECT_EQ(buffer[0], 0x07);
  EXPECT_EQ(buffer[1], 0xF9);
}

TEST(FrameDecoder, EveryByteValueRoundTrips) {
  Bytes payload;
  for (int v = 0; v < 256; ++v) payload.push_back(static_cast<std::uint8_t>(v));
  Decoded d = Decode(EncodeFrame(payload), 300);
  ASSERT_EQ(d.result, 257);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), d.stored.begin()));
}

}  // namespace
}  // namespace vestrel::protocol
