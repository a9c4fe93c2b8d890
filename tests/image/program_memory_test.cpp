// BuildImage and the field conversion: window test, ImageEnd, bounds, record types.
#include "image/program_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "tests/support/hex_text.h"

namespace vestrel::image {
namespace {

using test::Bytes;
using test::HexRecord;
using test::HexText;
using test::UpperRecord;

constexpr std::uint32_t kSmallImage = 0x1000;
constexpr std::size_t kGuard = 64;  // bytes behind the image that must never be written

// An image of `size` bytes inside a larger allocation whose tail shows stray writes. The lines
// get the end-of-file record that a whole file ends with.
ProgramMemory MakeMemory(std::vector<std::string> lines, std::uint32_t size = kSmallImage) {
  ProgramMemory memory;
  memory.HexLines = std::move(lines);
  memory.HexLines.push_back(test::EndRecord());
  memory.ImageSize = size;
  memory.ImageBuffer = std::make_unique<std::uint8_t[]>(size + kGuard);
  std::memset(memory.ImageBuffer.get(), 0x5A, size + kGuard);
  return memory;
}

Bytes Image(const ProgramMemory& memory) {
  return Bytes(memory.ImageBuffer.get(), memory.ImageBuffer.get() + memory.ImageSize);
}

bool GuardIntact(const ProgramMemory& memory) {
  const std::uint8_t* guard = memory.ImageBuffer.get() + memory.ImageSize;
  return std::all_of(guard, guard + kGuard, [](std::uint8_t b) { return b == 0x5A; });
}

Bytes Blank(std::uint32_t size = kSmallImage) {
  return Bytes(size, 0xFF);
}

Bytes With(Bytes image, std::size_t offset, const Bytes& data) {
  std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
  return image;
}

const Bytes kWorkedData = {0x01, 0x02, 0x03, 0x04};
const std::string kWorkedRecord = ":0400000001020304F2";

TEST(HexField, ConvertsByPositionLikeTheStandardConversion) {
  EXPECT_EQ(HexField(":1A", 1, 2), 0x1Au);
  EXPECT_EQ(HexField(":1a", 1, 2), 0x1Au);
  EXPECT_EQ(HexField(":BEEF", 1, 4), 0xBEEFu);
  EXPECT_EQ(HexField(": 5", 1, 2), 0x5u) << "leading blank";
  EXPECT_EQ(HexField(":+F", 1, 2), 0xFu) << "plus sign";
  EXPECT_EQ(HexField(":5G", 1, 2), 0x5u) << "stops at the first non-hex character";
  EXPECT_EQ(HexField(":GG", 1, 2), 0x0u) << "no digits";
  EXPECT_EQ(HexField(":  ", 1, 2), 0x0u) << "blanks only";
  EXPECT_EQ(HexField(":123", 1, 2), 0x12u) << "only the field's own characters";
}

TEST(HexField, KeepsTheLowBitsOfANegativeValue) {
  EXPECT_EQ(HexField(":-1", 1, 2), 0xFFu);
  EXPECT_EQ(HexField(":-001", 1, 4), 0xFFFFu);
}

TEST(HexField, NeverReadsPastTheLine) {
  EXPECT_EQ(HexField(":A", 1, 2), 0xAu);
  EXPECT_EQ(HexField(":A", 5, 2), 0x0u);
  // A view into a longer buffer: characters behind the view must not count.
  const std::string text = ":1234";
  EXPECT_EQ(HexField(std::string_view(text).substr(0, 2), 1, 4), 0x1u);
}

TEST(CopyHexField, CopiesAtMostCountCharactersAndTerminates) {
  char buffer[8];
  std::memset(buffer, 'z', sizeof buffer);
  CopyHexField(":10002000", buffer, 4, 3);
  EXPECT_STREQ(buffer, "0020");
  CopyHexField(":1", buffer, 2, 1);
  EXPECT_STREQ(buffer, "1");
  CopyHexField(":1", buffer, 2, 7);
  EXPECT_STREQ(buffer, "");
}

// Nothing is built from lines that could only give a blank flash.
TEST(BuildImage, RefusesLinesWithoutProgramFlashData) {
  struct Case {
    std::vector<std::string> lines;
    const char* reason;
  };
  const Case cases[] = {
      {{}, "no HEX file is loaded"},
      {{test::EndRecord()}, "holds no data"},
      {{UpperRecord(0x9D00), kWorkedRecord, test::EndRecord()}, "virtual addresses"},
  };
  for (const Case& c : cases) {
    ProgramMemory memory = MakeMemory({});
    memory.HexLines = c.lines;
    HexError error;
    EXPECT_FALSE(BuildImage(memory, &error));
    EXPECT_NE(error.reason.find(c.reason), std::string::npos) << error.reason;
  }
}

TEST(BuildImage, StoresDataUnderTheProgramFlashUpperAddress) {
  ProgramMemory memory = MakeMemory({UpperRecord(0x1D00), kWorkedRecord, test::EndRecord()});
  ASSERT_TRUE(BuildImage(memory));
  EXPECT_EQ(Image(memory), With(Blank(), 0, kWorkedData));
  EXPECT_EQ(memory.ImageEnd, 0x1D000004u);
  EXPECT_TRUE(GuardIntact(memory));
}

class OutsideWindow : public testing::TestWithParam<int> {};

// -1 stands for "no type-04 record at all".
TEST_P(OutsideWindow, DataIsSkippedWithoutMessage) {
  std::vector<std::string> lines;
  if (GetParam() >= 0) lines.push_back(UpperRecord(static_cast<std::uint16_t>(GetParam())));
  lines.push_back(kWorkedRecord);
  lines.push_back(UpperRecord(0x1D00));
  lines.push_back(HexRecord(0x00, 0x0100, {0xEE}));
  ProgramMemory memory = MakeMemory(lines);
  HexError error;
  ASSERT_TRUE(BuildImage(memory, &error)) << error.reason;
  EXPECT_EQ(Image(memory), With(Blank(), 0x100, {0xEE}));
  EXPECT_EQ(memory.ImageEnd, 0x1D000101u);
}

INSTANTIATE_TEST_SUITE_P(UpperAddresses, OutsideWindow,
                         testing::Values(-1, 0x0000, 0x1CFF, 0x1E00, 0x1FC0, 0x9D00, 0xBD00));

TEST(BuildImage, WindowReachesUpTo0x1DFF) {
  constexpr std::uint32_t kSixteenMiB = 0x1000000;
  ProgramMemory memory = MakeMemory({UpperRecord(0x1DFF), kWorkedRecord}, kSixteenMiB);
  ASSERT_TRUE(BuildImage(memory));
  EXPECT_TRUE(
      std::equal(kWorkedData.begin(), kWorkedData.end(), memory.ImageBuffer.get() + 0xFF0000));
  EXPECT_EQ(memory.ImageEnd, 0x1DFF0004u);
}

// Regression: ImageEnd was the end of the last record in file order, so a file out of address
// order (or with an empty record at the end) reported a length shorter than its application.
TEST(BuildImage, ImageEndIsTheHighestStoredByteWhateverTheOrder) {
  ProgramMemory memory = MakeMemory(HexText()
                                        .Data(kFlashBase + 0x200, {0xAA, 0xBB})
                                        .Data(kFlashBase + 0x100, {0xCC})
                                        .Data(0x1FC00000, {0x11, 0x22, 0x33})  // skipped
                                        .Upper(0x1D00)
                                        .Line(HexRecord(0x00, 0x0010, {}))  // stores nothing
                                        .Lines());
  ASSERT_TRUE(BuildImage(memory));
  EXPECT_EQ(Image(memory), With(With(Blank(), 0x200, {0xAA, 0xBB}), 0x100, {0xCC}));
  EXPECT_EQ(memory.ImageEnd, 0x1D000202u);
}

TEST(BuildImage, RecordCrossing64KiBContinuesIntoTheNextSegment) {
  const Bytes data = test::Pattern(16, 3);
  ProgramMemory memory = MakeMemory({UpperRecord(0x1D00), HexRecord(0x00, 0xFFF8, data)}, 0x20000);
  ASSERT_TRUE(BuildImage(memory));
  EXPECT_EQ(Image(memory), With(Blank(0x20000), 0xFFF8, data));
  EXPECT_EQ(memory.ImageEnd, 0x1D010008u);
}

TEST(BuildImage, LaterRecordsOverwriteEarlierOnes) {
  ProgramMemory memory = MakeMemory(
      HexText().Data(kFlashBase + 0x10, {1, 2, 3, 4}).Data(kFlashBase + 0x12, {9}).Lines());
  ASSERT_TRUE(BuildImage(memory));
  EXPECT_EQ(Image(memory), With(Blank(), 0x10, {1, 2, 9, 4}));
}

TEST(BuildImage, OtherRecordTypesAndTheEndRecordChangeNothing) {
  ProgramMemory memory = MakeMemory({
      UpperRecord(0x1D00), HexRecord(0x03, 0, {0x00, 0x00, 0x12, 0x34}),  // start segment
      HexRecord(0x05, 0, {0x9D, 0x00, 0x10, 0x00}),                       // start linear
      test::EndRecord(),                                                  // reading goes on
      HexRecord(0x00, 0x0020, {0xAB}), HexRecord(0x07, 0x0030, {0xCD}),   // unknown type
  });
  ASSERT_TRUE(BuildImage(memory));
  EXPECT_EQ(Image(memory), With(Blank(), 0x20, {0xAB}));
  EXPECT_EQ(memory.ImageEnd, 0x1D000021u);
}

// Regression: a type-02 record was skipped, so the data after it landed under the last type-04
// base and overwrote the program there.
TEST(BuildImage, SegmentAddressMovesDataOutOfTheProgramFlash) {
  ProgramMemory memory = MakeMemory({
      UpperRecord(0x1D00),
      HexRecord(0x00, 0x0020, {0xAB}),
      HexRecord(0x02, 0, {0x10, 0x00}),
      HexRecord(0x00, 0x0020, {0x99}),  // at 0x00010020
      UpperRecord(0x1D00),
      HexRecord(0x00, 0x0040, {0xCD}),
  });
  ASSERT_TRUE(BuildImage(memory));
  EXPECT_EQ(Image(memory), With(With(Blank(), 0x20, {0xAB}), 0x40, {0xCD}));
  EXPECT_EQ(memory.ImageEnd, 0x1D000041u);
}

TEST(BuildImage, ExtendedAddressIgnoresItsByteCount) {
  // Byte count 4: only the four characters at positions 9-12 make the upper address.
  ProgramMemory memory = MakeMemory({HexRecord(0x04, 0, {0x1D, 0x00, 0x77, 0x77}), kWorkedRecord});
  ASSERT_TRUE(BuildImage(memory));
  EXPECT_EQ(Image(memory), With(Blank(), 0, kWorkedData));
}

TEST(BuildImage, LowerCaseAndOtherStartCodesReadTheSame) {
  std::string lower = kWorkedRecord;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  std::string otherStart = kWorkedRecord;
  otherStart[0] = '#';
  for (const std::string& record : {lower, otherStart}) {
    ProgramMemory memory = MakeMemory({":020000041d00dd", record});
    ASSERT_TRUE(BuildImage(memory)) << record;
    EXPECT_EQ(Image(memory), With(Blank(), 0, kWorkedData)) << record;
    EXPECT_EQ(memory.ImageEnd, 0x1D000004u) << record;
  }
}

// Regression: read literally, an empty line is an empty data record at offset 0, which
// would move ImageEnd back to the start of the 64 KiB segment.
TEST(BuildImage, EmptyLinesAreSkipped) {
  ProgramMemory memory = MakeMemory({"", UpperRecord(0x1D00), "", kWorkedRecord, "", ""});
  ASSERT_TRUE(BuildImage(memory));
  EXPECT_EQ(Image(memory), With(Blank(), 0, kWorkedData));
  EXPECT_EQ(memory.ImageEnd, 0x1D000004u);
}

TEST(BuildImage, WrongChecksumFailsNamingTheLine) {
  ProgramMemory memory = MakeMemory({UpperRecord(0x1D00), kWorkedRecord, ":0400100001020304F3"});
  HexError error;
  EXPECT_FALSE(BuildImage(memory, &error));
  EXPECT_EQ(error.line, 3u);
  EXPECT_NE(error.reason.find("line 3"), std::string::npos) << error.reason;
  EXPECT_NE(error.reason.find("checksum"), std::string::npos) << error.reason;
}

TEST(BuildImage, ShortLineFailsWithoutReadingPastIt) {
  // Byte count 0x10 needs 43 characters; the data stops early and the checksum is missing.
  ProgramMemory memory = MakeMemory({UpperRecord(0x1D00), ":10000000010203"});
  HexError error;
  EXPECT_FALSE(BuildImage(memory, &error));
  EXPECT_EQ(error.line, 2u);
  EXPECT_NE(error.reason.find("too short"), std::string::npos) << error.reason;
  EXPECT_TRUE(GuardIntact(memory));
}

TEST(BuildImage, AbsentImageFailsWithoutTouchingState) {
  ProgramMemory memory;
  memory.HexLines = {UpperRecord(0x1D00), kWorkedRecord};
  memory.ImageSize = kSmallImage;
  memory.ImageEnd = 0x1D000042;
  HexError error;
  EXPECT_FALSE(BuildImage(memory, &error));
  EXPECT_NE(error.reason.find("connect first"), std::string::npos) << error.reason;
  EXPECT_EQ(memory.ImageEnd, 0x1D000042u);
  EXPECT_EQ(memory.ImageBuffer, nullptr);
}

struct BoundsCase {
  const char* name;
  std::uint32_t address;
  std::size_t length;
  std::uint32_t firstOutside;  // 0: the record fits
};

class ImageBounds : public testing::TestWithParam<BoundsCase> {};

TEST_P(ImageBounds, DataBeyondTheImageFailsNamingTheFirstAddressOutside) {
  const BoundsCase& c = GetParam();
  const Bytes data = test::Pattern(c.length);
  ProgramMemory memory =
      MakeMemory({UpperRecord(static_cast<std::uint16_t>(c.address >> 16)),
                  HexRecord(0x00, static_cast<std::uint16_t>(c.address & 0xFFFF), data)});
  HexError error;
  const bool built = BuildImage(memory, &error);
  EXPECT_TRUE(GuardIntact(memory));
  if (c.firstOutside == 0) {
    ASSERT_TRUE(built) << error.reason;
    EXPECT_EQ(Image(memory), With(Blank(), c.address - kFlashBase, data));
    return;
  }
  ASSERT_FALSE(built);
  EXPECT_EQ(error.line, 2u);
  char expected[64];
  std::snprintf(expected, sizeof expected, "data at 0x%08X lies beyond the 4 KiB program flash",
                c.firstOutside);
  EXPECT_NE(error.reason.find(expected), std::string::npos) << error.reason;
}

INSTANTIATE_TEST_SUITE_P(
    Records, ImageBounds,
    testing::Values(BoundsCase{"EndsAtTheLastByte", 0x1D000FF0, 16, 0},
                    BoundsCase{"StraddlesTheEnd", 0x1D000FF8, 16, 0x1D001000},
                    BoundsCase{"StartsAtTheEnd", 0x1D001000, 4, 0x1D001000},
                    BoundsCase{"FarBeyond", 0x1D090000, 4, 0x1D090000},
                    BoundsCase{"TopOfTheWindowPlusARecord", 0x1DFFFFF0, 255, 0x1DFFFFF0}),
    [](const testing::TestParamInfo<BoundsCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vestrel::image
