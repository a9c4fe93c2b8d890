// A board's own data: the formats, the records merged behind the file's lines (the image, the
// used length and the bytes follow), the address checks, and the log's SHA-256.
#include "image/board_data.h"

#include <gtest/gtest.h>

#include "image/sha256.h"
#include "tests/support/hex_text.h"

namespace vestrel::image {
namespace {

using test::Bytes;
using test::HexText;

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

TEST(BoardData, FormatsEncodeTheirValue) {
  struct Case {
    const char* format;
    std::uint64_t value;
    std::optional<Bytes> bytes;
  };
  const Case cases[] = {
      {"u32le", 0x01020304, Bytes{0x04, 0x03, 0x02, 0x01}},
      {"u32be", 0x01020304, Bytes{0x01, 0x02, 0x03, 0x04}},
      {"u32le", 0x100000000, std::nullopt},
      {"u64le", 0x0102030405060708, Bytes{8, 7, 6, 5, 4, 3, 2, 1}},
      {"ascii:6", 1042, Text("001042")},
      {"ascii:3", 1042, std::nullopt},
      {"hex:4", 0xBEEF, Text("BEEF")},
      {"hex:6", 0x2A, Text("00002A")},
      {"bcd:3", 12345, Bytes{0x01, 0x23, 0x45}},
      {"bcd:1", 100, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.value));
    const std::optional<DataFormat> format = ParseDataFormat(c.format);
    ASSERT_TRUE(format);
    EXPECT_EQ(DataFormatName(*format), c.format);
    EXPECT_EQ(EncodeValue(*format, c.value), c.bytes);
  }
  for (const char* bad : {"u16le", "ascii", "ascii:0", "ascii:65", "hex:x", "bcd:4:", ""})
    EXPECT_FALSE(ParseDataFormat(bad)) << bad;
}

TEST(BoardData, AddressesOfTheProgramFlashWindowOnly) {
  EXPECT_EQ(ProgramFlashAddress(0x1D07F000), 0x1D07F000u);
  EXPECT_EQ(ProgramFlashAddress(0x9D07F000), 0x1D07F000u);
  EXPECT_EQ(ProgramFlashAddress(0xBDFFFFFF), 0x1DFFFFFFu);
  EXPECT_FALSE(ProgramFlashAddress(0x1E000000));
  EXPECT_FALSE(ProgramFlashAddress(0x1FC00000));  // boot flash
  EXPECT_FALSE(ProgramFlashAddress(0x11D000000));
}

TEST(BoardData, MergedRecordsWinAndTheUsedLengthFollows) {
  HexText hex;
  hex.Data(0x1D000000, test::Pattern(64, 1)).End();
  // Across a 64 KiB boundary, over the file's data: the records win and the image grows.
  const Bytes data = test::Pattern(40, 9);
  std::vector<std::string> merged = MergeRecords(hex.Lines(), DataRecords(0x1D00FFF0, data));
  merged = MergeRecords(merged, DataRecords(0x1D000010, Bytes{0xAA, 0xBB}));
  std::vector<std::uint8_t> image;
  HexError error;
  ASSERT_TRUE(UsedImage(merged, "app.hex", image, &error)) << error.reason;
  ASSERT_EQ(image.size(), 0x10018u);  // up to the last byte of the data
  Bytes expected(0x10018, 0xFF);
  const Bytes file = test::Pattern(64, 1);
  std::copy(file.begin(), file.end(), expected.begin());
  expected[0x10] = 0xAA;
  expected[0x11] = 0xBB;
  std::copy(data.begin(), data.end(), expected.begin() + 0xFFF0);
  EXPECT_EQ(image, expected);

  EXPECT_TRUE(HoldsDataWithin(hex.Lines(), 0x1D00003F, 4));
  EXPECT_FALSE(HoldsDataWithin(hex.Lines(), 0x1D000040, 4));
}

TEST(BoardData, Sha256OfKnownMessages) {
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(Text("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first padding block.
  EXPECT_EQ(Sha256Hex(Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace vestrel::image
