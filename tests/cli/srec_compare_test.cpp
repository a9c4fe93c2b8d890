// The exported image against an independent tool: srec_cat cropped to the program flash and
// filled with 0xFF must give the same bytes for PIC32-like HEX files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "app/cli/image_export.h"
#include "tests/cli/run_program.h"
#include "tests/support/hex_text.h"

namespace vestrel::cli {
namespace {

using test::HexRecord;
using test::HexText;
using test::Pattern;
using test::TempDir;

constexpr std::uint32_t kFullFlashSize = 0x80000;

bool HaveSrecCat() {
  return std::system("command -v srec_cat >/dev/null 2>&1") == 0;
}

// What a PIC32 tool chain writes: the 0000 pair, boot flash start-up code, program flash in
// several 64 KiB segments, and the configuration words last.
HexText TypicalProgram() {
  return HexText()
      .Upper(0x0000)
      .Data(0x1FC00000, Pattern(0x180, 1))
      .Data(0x1D000000, Pattern(0x1234, 2))
      .Data(0x1D001400, Pattern(0x2000, 3), 32)
      .Data(0x1D00F000, Pattern(0x23456, 4))  // through three 64 KiB boundaries
      .Data(0x1FC02FF0, Pattern(16, 5), 4)
      .Line(HexRecord(0x05, 0, {0x9D, 0x00, 0x10, 0x00}))
      .End();
}

// Records that cross 64 KiB themselves, and data given at the kseg0 alias (skipped).
HexText CrossingAndAliases() {
  HexText hex;
  hex.Data(0x9D000000, Pattern(0x400, 6))
      .Upper(0x1D01)
      .Line(HexRecord(0x00, 0xFFF0, Pattern(32, 7)))
      .Upper(0x1D02)
      .Line(HexRecord(0x00, 0xFF80, Pattern(255, 8)))
      .Data(0x9D010000, Pattern(0x100, 9))
      .Upper(0x1D00)
      .Line(HexRecord(0x00, 0xFFFF, Pattern(2, 10)))
      .Data(0xBD000800, Pattern(0x40, 11))
      .Data(0x1D000800, Pattern(0x40, 12));
  return hex.End();
}

// Groups far out of address order, boot flash interleaved, the last record at the very end of
// the flash and then one low record: the used length still reaches the highest byte.
HexText OutOfOrder() {
  return HexText()
      .Data(0x1FC0FFC0, Pattern(0x20, 13))
      .Data(0x1D07FF00, Pattern(0x100, 14), 255)
      .Data(0x1D030000, Pattern(0x3000, 15))
      .Data(0x1FC00000, Pattern(0x200, 16))
      .Data(0x1D010000, Pattern(0x1000, 17))
      .Data(0x1D0000EC, Pattern(8, 18))
      .End();
}

struct CompareCase {
  const char* name;
  HexText (*make)();
  const char* lineEnd;
  bool lowerCase;
  const char* usedLength;
};

void PrintTo(const CompareCase& c, std::ostream* os) {
  *os << c.name;
}

class SrecCatCompare : public testing::TestWithParam<CompareCase> {};

TEST_P(SrecCatCompare, ImageMatchesByteForByte) {
  if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
  const CompareCase& c = GetParam();
  TempDir dir;
  auto text = [&](const char* lineEnd) {
    std::string t = c.make().Text(lineEnd);
    if (c.lowerCase) {
      for (char& ch : t) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    return t;
  };
  const std::string hex = dir.Write("in.hex", text(c.lineEnd));
  // srec_cat does not take CR-only line ends: it reads the same records with LF.
  const std::string reference = dir.Write("reference.hex", text("\n"));
  const std::string ours = dir.File("ours.bin");
  const std::string theirs = dir.File("theirs.bin");

  const test::RunResult cli =
      test::Run(VESTREL_CLI, {"-f", hex, "--flash-size", "0x80000", "--image-out", ours}, dir);
  ASSERT_EQ(cli.exitCode, kExitOk) << cli.err;
  EXPECT_EQ(cli.out, std::string("Used length: ") + c.usedLength + "\n");

  const test::RunResult srec =
      test::Run("srec_cat",
                {reference, "-intel", "-crop", "0x1D000000", "0x1D080000", "-offset", "-0x1D000000",
                 "-fill", "0xFF", "0", "0x80000", "-o", theirs, "-binary"},
                dir);
  ASSERT_EQ(srec.exitCode, 0) << srec.err;

  const test::Bytes expected = test::ReadBytes(theirs);
  const test::Bytes actual = test::ReadBytes(ours);
  ASSERT_EQ(expected.size(), kFullFlashSize);
  ASSERT_EQ(actual.size(), kFullFlashSize);
  const auto [a, b] = std::mismatch(actual.begin(), actual.end(), expected.begin());
  EXPECT_TRUE(a == actual.end()) << "first difference at offset 0x" << std::hex
                                 << (a - actual.begin());
}

INSTANTIATE_TEST_SUITE_P(
    Pic32Files, SrecCatCompare,
    testing::Values(
        CompareCase{"Typical", TypicalProgram, "\r\n", false, "0x00032456 (205910 bytes)"},
        CompareCase{"TypicalLowerCaseLf", TypicalProgram, "\n", true, "0x00032456 (205910 bytes)"},
        CompareCase{"CrossingAndAliases", CrossingAndAliases, "\r", false,
                    "0x0003007F (196735 bytes)"},
        CompareCase{"OutOfOrder", OutOfOrder, "\r\n", false, "0x00080000 (524288 bytes)"}),
    [](const testing::TestParamInfo<CompareCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vestrel::cli
