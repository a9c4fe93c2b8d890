#include "tools/sim/fault_injector.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "protocol/frame.h"
#include "tools/sim/bootloader_model.h"

namespace vestrel::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kRead = 0x0001;
constexpr std::uint16_t kProgram = 0x0002;

Bytes Joined(const Transmission& t) {
  Bytes wire;
  for (const auto& chunk : t.chunks) wire.insert(wire.end(), chunk.begin(), chunk.end());
  return wire;
}

// Decodes as the host does; empty optional while the decoder still waits for bytes.
std::optional<int> Decode(const Bytes& wire, Bytes& stored) {
  stored.assign(600, 0);
  protocol::FrameDecoder decoder(stored);
  for (std::uint8_t b : wire) {
    if (auto result = decoder.Feed(b)) {
      if (*result >= 0) stored.resize(static_cast<std::size_t>(*result));
      return result;
    }
  }
  return std::nullopt;
}

// A read-memory reply: header, then `words` words with every value from 1 on.
Bytes ReadReply(std::uint32_t words) {
  Bytes reply{0x01, 0x00, static_cast<std::uint8_t>(words), 0x00, 0x00, 0x00, 0x00, 0x9D};
  for (std::uint32_t i = 1; i <= words; ++i) AppendLe32(reply, i * 0x01010101u);
  return reply;
}

Bytes WithChecksum(Bytes payload) {
  payload.push_back(protocol::FrameChecksum(payload));
  return payload;
}

TEST(FaultInjectorTest, WithoutFaultsTheReplyGoesOutAsOneFrame) {
  FaultInjector faults(FaultConfig{}, 7);
  const Bytes reply = ReadReply(4);
  const Transmission t = faults.Plan(kRead, reply);
  EXPECT_TRUE(t.faults.empty());
  ASSERT_EQ(t.chunks.size(), 1u);
  EXPECT_EQ(t.chunks[0], protocol::EncodeFrame(reply));
}

TEST(FaultInjectorTest, SameSeedGivesSameFaultsAndOtherSeedsDiffer) {
  FaultConfig config;
  config.noise = config.corrupt = config.drop = config.truncate = 0.3;
  config.badReadback = 0.5;
  config.burstGap = std::chrono::milliseconds(10);
  auto run = [&config](std::uint64_t seed) {
    FaultInjector faults(config, seed);
    std::vector<std::pair<std::vector<std::string>, Bytes>> plans;
    for (int i = 0; i < 50; ++i) {
      const Transmission t = faults.Plan(i % 2 == 0 ? kRead : kProgram, ReadReply(8));
      plans.emplace_back(t.faults, Joined(t));
    }
    return plans;
  };
  EXPECT_EQ(run(42), run(42));
  EXPECT_NE(run(42), run(43));
}

TEST(FaultInjectorTest, CorruptedReplyAlwaysFailsTheChecksum) {
  FaultConfig config;
  config.corrupt = 1;
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    FaultInjector faults(config, seed);
    Bytes stored;
    EXPECT_EQ(Decode(Joined(faults.Plan(kRead, ReadReply(3))), stored), protocol::kChecksumError)
        << "seed " << seed;
  }
}

TEST(FaultInjectorTest, BadReadbackChangesExactlyOneDataWordAndKeepsTheChecksumValid) {
  FaultConfig config;
  config.badReadback = 1;
  const Bytes reply = ReadReply(16);
  for (std::uint64_t seed = 0; seed < 50; ++seed) {
    FaultInjector faults(config, seed);
    Bytes stored;
    ASSERT_EQ(Decode(Joined(faults.Plan(kRead, reply)), stored), static_cast<int>(reply.size() + 1));
    EXPECT_TRUE(std::equal(reply.begin(), reply.begin() + 8, stored.begin())) << "header kept";
    int differing = 0;
    for (std::size_t w = 8; w < reply.size(); w += 4) {
      differing += ReadLe32(reply, w) != ReadLe32(stored, w) ? 1 : 0;
    }
    EXPECT_EQ(differing, 1) << "seed " << seed;
  }
}

TEST(FaultInjectorTest, FailReadbackTimesSpoilsOnlyTheFirstReadReplies) {
  FaultConfig config;
  config.failReadbackTimes = 2;
  FaultInjector faults(config, 1);
  const Bytes ack{0x02, 0x00};
  EXPECT_EQ(Joined(faults.Plan(kProgram, ack)), protocol::EncodeFrame(ack)) << "not a read reply";
  const Bytes reply = ReadReply(4);
  EXPECT_NE(Joined(faults.Plan(kRead, reply)), protocol::EncodeFrame(reply));
  EXPECT_NE(Joined(faults.Plan(kRead, reply)), protocol::EncodeFrame(reply));
  EXPECT_EQ(Joined(faults.Plan(kRead, reply)), protocol::EncodeFrame(reply));
}

TEST(FaultInjectorTest, DroppedReplySendsNothing) {
  FaultConfig config;
  config.drop = 1;
  FaultInjector faults(config, 3);
  const Transmission t = faults.Plan(kProgram, {0x02, 0x00});
  EXPECT_TRUE(t.chunks.empty());
  EXPECT_FALSE(t.babble);
  EXPECT_EQ(t.faults, std::vector<std::string>{"drop"});
}

TEST(FaultInjectorTest, TruncatedReplyStopsRightAfterItsFirstEscapeByte) {
  FaultConfig config;
  config.truncate = 1;
  FaultInjector faults(config, 3);
  const Bytes reply{0x00, 0x00, 0x08, 0x00, 0x05, 0x01};  // minor version 5 is escaped
  const Bytes wire = Joined(faults.Plan(0x0009, reply));
  EXPECT_EQ(wire, (Bytes{0x55, 0x55, 0x55, 0x55, 0x00, 0x00, 0x08, 0x00, 0x05}));
  Bytes stored;
  EXPECT_FALSE(Decode(wire, stored)) << "the host must be left waiting for the escaped byte";
}

TEST(FaultInjectorTest, TruncatedReplyWithoutEscapeNeverEnds) {
  FaultConfig config;
  config.truncate = 1;
  for (std::uint64_t seed = 0; seed < 50; ++seed) {
    FaultInjector faults(config, seed);
    const Bytes wire = Joined(faults.Plan(kProgram, {0x02, 0x00}));
    Bytes stored;
    EXPECT_GE(wire.size(), 5u);
    EXPECT_FALSE(Decode(wire, stored)) << "seed " << seed;
  }
}

TEST(FaultInjectorTest, NoiseAheadOfAReplyIsDiscardedByTheDecoder) {
  FaultConfig config;
  config.noise = 1;
  config.noiseMax = 32;
  const Bytes reply = ReadReply(2);
  for (std::uint64_t seed = 0; seed < 100; ++seed) {
    FaultInjector faults(config, seed);
    const Bytes wire = Joined(faults.Plan(kRead, reply));
    ASSERT_GT(wire.size(), protocol::EncodeFrame(reply).size());
    Bytes stored;
    ASSERT_EQ(Decode(wire, stored), static_cast<int>(reply.size() + 1)) << "seed " << seed;
    EXPECT_EQ(stored, WithChecksum(reply));
  }
}

TEST(FaultInjectorTest, BurstsAreBoundedAndTogetherFormTheFrame) {
  FaultConfig config;
  config.burstGap = std::chrono::milliseconds(30);
  config.burstBytes = 5;
  FaultInjector faults(config, 9);
  const Bytes reply = ReadReply(8);
  const Transmission t = faults.Plan(kRead, reply);
  EXPECT_GT(t.chunks.size(), 1u);
  for (const auto& chunk : t.chunks) {
    EXPECT_GE(chunk.size(), 1u);
    EXPECT_LE(chunk.size(), 5u);
  }
  EXPECT_EQ(Joined(t), protocol::EncodeFrame(reply));
}

TEST(FaultInjectorTest, BabbleNeverEndsAFrame) {
  FaultConfig config;
  config.babble = 1;
  FaultInjector faults(config, 5);
  EXPECT_TRUE(faults.Plan(kProgram, {0x02, 0x00}).babble);
  const Bytes babble = faults.Babble(5000);
  EXPECT_EQ(std::count(babble.begin(), babble.end(), protocol::kEndByte), 0);
  EXPECT_GT(std::count(babble.begin(), babble.end(), protocol::kStartByte), 0);
}

}  // namespace
}  // namespace vestrel::sim
