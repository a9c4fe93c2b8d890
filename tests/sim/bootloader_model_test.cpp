#include "tools/sim/bootloader_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace vestrel::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSmallFlash = 0x1000;

Bytes Header(std::uint16_t command, std::uint16_t second) {
  Bytes payload;
  AppendLe16(payload, command);
  AppendLe16(payload, second);
  return payload;
}

Bytes Addressed(std::uint16_t command, std::uint16_t second, std::uint32_t address) {
  Bytes payload = Header(command, second);
  AppendLe32(payload, address);
  return payload;
}

Bytes Program(std::uint32_t address, const std::vector<std::uint32_t>& words) {
  bool blank = true;
  for (auto w : words) blank = blank && w == 0xFFFFFFFF;
  Bytes payload =
      Addressed(blank ? 0x0022 : 0x0002, static_cast<std::uint16_t>(words.size()), address);
  for (auto w : words) AppendLe32(payload, w);
  return payload;
}

Bytes Read(std::uint32_t address, std::uint16_t count) {
  return Addressed(0x0001, count, address);
}
Bytes Erase() {
  return Header(0x0003, 2);
}
Bytes Finish(std::uint32_t length) {
  return Addressed(0x0008, 4, length);
}

class BootloaderModelTest : public ::testing::Test {
 protected:
  BootloaderModel model_{ModelConfig{kSmallFlash, 1, 3, {}}};

  RequestOutcome Ok(const Bytes& payload) {
    RequestOutcome outcome = model_.Handle(payload);
    EXPECT_TRUE(outcome.valid()) << outcome.violation.value_or("");
    return outcome;
  }

  std::uint32_t FlashWord(std::uint32_t offset) const { return ReadLe32(model_.flash(), offset); }
};

TEST_F(BootloaderModelTest, VersionReplyCarriesSizeMinorAndMajor) {
  BootloaderModel model(ModelConfig{0x80000, 1, 3, {}});
  const RequestOutcome outcome = model.Handle(Header(0x0009, 2));
  ASSERT_TRUE(outcome.reply);
  EXPECT_EQ(*outcome.reply, (Bytes{0x00, 0x00, 0x08, 0x00, 0x03, 0x01}));
}

TEST_F(BootloaderModelTest, ProgrammingOnlyClearsBits) {
  Ok(Erase());
  Ok(Program(kFlashWindowBase + 8, {0x0F0F0FF0}));
  Ok(Program(kFlashWindowBase + 8, {0xFF00FF0F}));
  EXPECT_EQ(FlashWord(8), 0x0F000F00u);
  EXPECT_EQ(FlashWord(4), 0xFFFFFFFFu);
  EXPECT_EQ(FlashWord(12), 0xFFFFFFFFu);
}

TEST_F(BootloaderModelTest, BlankBlockChangesNothingAndAcknowledges) {
  Ok(Erase());
  Ok(Program(kFlashWindowBase, {0x12345678, 0x9ABCDEF0}));
  const RequestOutcome outcome = Ok(Program(kFlashWindowBase, {0xFFFFFFFF, 0xFFFFFFFF}));
  ASSERT_TRUE(outcome.reply);
  EXPECT_FALSE(outcome.reply->empty());
  EXPECT_EQ(FlashWord(0), 0x12345678u);
  EXPECT_EQ(FlashWord(4), 0x9ABCDEF0u);
}

TEST_F(BootloaderModelTest, EraseBlanksTheWholeFlash) {
  ASSERT_TRUE(model_.LoadFlash(Bytes(kSmallFlash, 0x00)));
  Ok(Erase());
  for (std::uint8_t b : model_.flash()) ASSERT_EQ(b, 0xFF);
}

TEST_F(BootloaderModelTest, ReadMemoryEchoesTheRequestThenTheWords) {
  Ok(Erase());
  Ok(Program(kFlashWindowBase + kSmallFlash - 8, {0x11223344, 0x55667788}));
  const Bytes request = Read(kFlashWindowBase + kSmallFlash - 8, 2);
  const RequestOutcome outcome = Ok(request);
  ASSERT_TRUE(outcome.reply);
  Bytes expected = request;
  for (std::uint32_t w : {0x11223344u, 0x55667788u}) AppendLe32(expected, w);
  EXPECT_EQ(*outcome.reply, expected);
}

TEST_F(BootloaderModelTest, RepliesFitTheHostsCapacities) {
  // Capacity counts the checksum byte too: payload + 1 must fit.
  BootloaderModel model(ModelConfig{0x80000, 1, 0, {}});
  EXPECT_LE(model.Handle(Header(0x0009, 2)).reply->size() + 1, 16u);
  EXPECT_LE(model.Handle(Erase()).reply->size() + 1, 16u);
  EXPECT_LE(
      model.Handle(Program(kFlashWindowBase, std::vector<std::uint32_t>(128, 1))).reply->size() + 1,
      16u);
  EXPECT_LE(model.Handle(Read(kFlashWindowBase, 128)).reply->size() + 1, 4u * 128 + 24);
  EXPECT_LE(model.Handle(Finish(4)).reply->size() + 1, 32u);
}

TEST_F(BootloaderModelTest, FinishReportsNotErasedBeforeAnyErase) {
  Ok(Program(kFlashWindowBase, {0}));
  EXPECT_EQ(Ok(Finish(4)).status, kStatusNotErased);
  EXPECT_EQ(*Ok(Finish(4)).reply, (Bytes{0x45, 0x00}));
}

TEST_F(BootloaderModelTest, FinishReportsNotProgrammedWhenOnlyBlankBlocksFollowedTheErase) {
  Ok(Erase());
  EXPECT_EQ(Ok(Finish(0)).status, kStatusNotProgrammed);
  Ok(Program(kFlashWindowBase, {0xFFFFFFFF}));
  EXPECT_EQ(Ok(Finish(0)).status, kStatusNotProgrammed);
}

TEST_F(BootloaderModelTest, FinishSucceedsAfterEraseAndProgramAndRecordsTheLength) {
  Ok(Erase());
  Ok(Program(kFlashWindowBase, {0}));
  const RequestOutcome outcome = Ok(Finish(0x400));
  EXPECT_EQ(outcome.status, kStatusSuccess);
  EXPECT_EQ(*outcome.reply, (Bytes{0x00, 0x00}));
  EXPECT_EQ(model_.usedLength(), 0x400u);
}

TEST_F(BootloaderModelTest, ASecondEraseRequiresProgrammingAgain) {
  Ok(Erase());
  Ok(Program(kFlashWindowBase, {0}));
  Ok(Erase());
  EXPECT_EQ(Ok(Finish(4)).status, kStatusNotProgrammed);
}

TEST_F(BootloaderModelTest, StartApplicationHasNoReply) {
  const RequestOutcome outcome = Ok(Header(0x0000, 0));
  EXPECT_TRUE(outcome.startsApplication);
  EXPECT_FALSE(outcome.reply);
}

TEST_F(BootloaderModelTest, BoundaryRequestsInsideTheWindowAreAccepted) {
  Ok(Read(kFlashWindowBase, 1));
  Ok(Read(kFlashWindowBase + kSmallFlash - 4, 1));
  Ok(Read(kFlashWindowBase, kSmallFlash / 4));
  Ok(Program(kFlashWindowBase + kSmallFlash - 4, {0x01020304}));
  Ok(Finish(kSmallFlash));
}

struct InvalidCase {
  const char* name;
  Bytes payload;
  const char* detail;  // part of the violation text
};

void PrintTo(const InvalidCase& c, std::ostream* os) {
  *os << c.name;
}

class InvalidRequestTest : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidRequestTest, GetsNoReplyAndChangesNothing) {
  BootloaderModel model(ModelConfig{kSmallFlash, 1, 0, {}});
  ASSERT_TRUE(model.LoadFlash(Bytes(kSmallFlash, 0xA5)));
  const RequestOutcome outcome = model.Handle(GetParam().payload);
  ASSERT_FALSE(outcome.valid());
  EXPECT_NE(outcome.violation->find(GetParam().detail), std::string::npos) << *outcome.violation;
  EXPECT_FALSE(outcome.reply);
  EXPECT_FALSE(outcome.startsApplication);
  for (std::uint8_t b : model.flash()) ASSERT_EQ(b, 0xA5);
  EXPECT_FALSE(model.erasedSinceStart());
}

Bytes WithExtraByte(Bytes payload) {
  payload.push_back(0);
  return payload;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, InvalidRequestTest,
    ::testing::Values(
        InvalidCase{"ShortPayload", {0x09, 0x00, 0x02}, "shorter than the 4-byte header"},
        InvalidCase{"UnknownCommand", Header(0x0004, 2), "unknown command 0x0004"},
        InvalidCase{"EraseWrongSecondField", Header(0x0003, 3), "second field 3, expected 2"},
        InvalidCase{"EraseWithExtraByte", WithExtraByte(Erase()), "expected 4"},
        InvalidCase{"VersionWrongSecondField", Header(0x0009, 0), "expected 2"},
        InvalidCase{"StartWrongSecondField", Header(0x0000, 2), "expected 0"},
        InvalidCase{"FinishWithoutArgument", Header(0x0008, 4), "expected 8"},
        InvalidCase{"FinishLengthBeyondFlash", Finish(kSmallFlash + 1), "exceeds the flash size"},
        InvalidCase{"FinishWrappedLength", Finish(0xE3000000), "exceeds the flash size"},
        InvalidCase{"ReadZeroWords", Read(kFlashWindowBase, 0), "word count 0"},
        InvalidCase{"ReadMisaligned", Read(kFlashWindowBase + 2, 1), "not word-aligned"},
        InvalidCase{"ReadBelowWindow", Read(kFlashWindowBase - 4, 1), "outside the flash window"},
        InvalidCase{"ReadPastTheEnd", Read(kFlashWindowBase + kSmallFlash - 4, 2),
                    "outside the flash window"},
        InvalidCase{"ReadWrappingPast4GiB", Read(0xFFFFFFFC, 2), "outside the flash window"},
        InvalidCase{"ReadWithData", WithExtraByte(Read(kFlashWindowBase, 1)), "expected 8"},
        InvalidCase{"ProgramMissingWord", Addressed(0x0002, 2, kFlashWindowBase), "expected 16"},
        InvalidCase{"ProgramPastTheEnd", Program(kFlashWindowBase + kSmallFlash, {0}),
                    "outside the flash window"},
        InvalidCase{"BlankCommandWithData",
                    [] {
                      Bytes p = Addressed(0x0022, 1, kFlashWindowBase);
                      AppendLe32(p, 0xFFFFFF7F);
                      return p;
                    }(),
                    "0x0022 carries words other than"},
        InvalidCase{"ProgramCommandWithOnlyBlankWords",
                    [] {
                      Bytes p = Addressed(0x0002, 1, kFlashWindowBase);
                      AppendLe32(p, 0xFFFFFFFF);
                      return p;
                    }(),
                    "only blank words"}),
    [](const ::testing::TestParamInfo<InvalidCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vestrel::sim
